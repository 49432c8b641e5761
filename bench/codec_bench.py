"""Times the codec alone in three builds and compares them (make codec-bench).

    python bench/codec_bench.py GLIBC MUSL MUSL_MIMALLOC [--gigabyte] [--publish]

Each argument is a build of bench/codec/codec_bench.cpp: for glibc, for musl
with musl's own allocator, and for musl with the bundled one. In each of
ROUNDS rounds every build runs in turn, in an order rotated each round so that
whatever else the machine does falls on each alike: each size in a process of
its own, then all sizes in one process, smallest first, since what an
allocator did before changes what it does next. For each size, build and way
of running, the best time of one call over all rounds counts, and the highest
peak resident memory (the process's, up to that size). --gigabyte adds a
document of about 1 GB, which needs about 1 GB of memory per process. Prints
one line per size and writes the tables to build/codec-bench/results.md and the
plot to build/codec-bench/results.svg; --publish also puts them into
bench/README.md, between its marker lines, and bench/codec-results.svg.
"""

import datetime
import os
import pathlib
import platform
import shutil
import subprocess
import sys

import chart
import publish
import run

BUILDS = ("glibc", "musl", "musl+mimalloc")
RECORDS = (0, 4, 50, 1500, 5000, 100000, 500000)  # the one-item call, then about 1 KB to 100 MB
GIGABYTE_RECORDS = 5000000
ROUNDS = 4
REPEATS = 2  # rounds of about 20 ms within a process, after its first call
WAYS = ("alone", "shared")
WAY_TITLES = {"alone": "Each size in a process of its own", "shared": "All sizes in one process, smallest first"}
START = "<!-- codec benchmark: written by make codec-bench CODEC_BENCH_ARGS=--publish -->"
END = "<!-- end of codec benchmark -->"
HERE = pathlib.Path(__file__).parent


def run_process(binary, records):
    """{records: (bytes, nanoseconds, peak KiB)} of one process of binary."""
    output = subprocess.run([binary, str(REPEATS), *map(str, records)], check=True, capture_output=True, text=True)
    rows = (line.split() for line in output.stdout.splitlines())
    return {int(count): (int(size), float(nanoseconds), int(peak)) for count, size, nanoseconds, peak in rows}


def measure(binaries, records):
    """{way: {build: {records: (bytes, best nanoseconds, highest peak KiB)}}}."""
    best = {way: {build: {} for build in BUILDS} for way in WAYS}

    def keep(way, build, results):
        for count, (size, nanoseconds, peak) in results.items():
            previous = best[way][build].get(count, (size, float("inf"), 0))
            best[way][build][count] = (size, min(previous[1], nanoseconds), max(previous[2], peak))

    for index in range(ROUNDS):
        for offset in range(len(BUILDS)):
            build = BUILDS[(index + offset) % len(BUILDS)]
            for count in records:
                keep("alone", build, run_process(binaries[build], [count]))
            keep("shared", build, run_process(binaries[build], records))
        print(f"codec-bench: round {index + 1} of {ROUNDS} done", flush=True)
    sizes = {build: [best[way][build][count][0] for way in WAYS for count in records] for build in BUILDS}
    if len({tuple(value) for value in sizes.values()}) != 1:
        sys.exit(f"codec_bench: the builds wrote different sizes: {sizes}")
    return best


def size_label(size):
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("KB", 1e3)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size} B"


def megabytes(kib):
    return f"{kib / 1024:.0f}" if kib >= 10 * 1024 else f"{kib / 1024:.1f}"


def table(best, records):
    lines = []
    for way in WAYS:
        lines += [
            f"{WAY_TITLES[way]}:",
            "",
            "| output | glibc µs | musl | musl + mimalloc | peak RSS MB, glibc / musl / musl + mimalloc |",
            "|---|---:|---:|---:|---:|",
        ]
        for count in records:
            size, glibc, _ = best[way]["glibc"][count]
            ratios = " | ".join(f"{best[way][build][count][1] / glibc:.2f}×" for build in BUILDS[1:])
            peaks = " / ".join(megabytes(best[way][build][count][2]) for build in BUILDS)
            lines.append(f"| {size_label(size)} | {glibc / 1000:,.2f} | {ratios} | {peaks} |")
        lines.append("")
    loads = os.getloadavg()
    heading = (
        f"Run on {datetime.date.today().isoformat()}, on {os.cpu_count()} cores of {run._cpu_name()} "
        f"({platform.machine()}), glibc {platform.libc_ver()[1]}; {ROUNDS} rounds, the builds in turn in an order "
        f"rotated each round; best time of one call over the rounds (each process times a size's first call and "
        f"{REPEATS} runs of about 20 ms of calls), highest peak RSS; load average {loads[0]:.2f} at the end."
    )
    return "\n".join([heading, "", *lines]).strip()


def plot(best, records):
    """Time per output byte and peak RSS against output size, each size in a process of its own."""
    sizes = [best["alone"]["glibc"][count][0] for count in records]
    times = {
        build: [best["alone"][build][count][1] / best["alone"][build][count][0] for count in records]
        for build in BUILDS
    }
    peaks = {build: [best["alone"][build][count][2] / 1024 for count in records] for build in BUILDS}
    return chart.svg_lines(
        "The codec alone, each size in a process of its own",
        sizes,
        [("time per output byte, ns", times), ("peak RSS, MB", peaks)],
    )


def main():
    arguments = [argument for argument in sys.argv[1:] if not argument.startswith("--")]
    if len(arguments) != len(BUILDS):
        sys.exit(__doc__)
    records = (*RECORDS, GIGABYTE_RECORDS) if "--gigabyte" in sys.argv else RECORDS
    best = measure(dict(zip(BUILDS, arguments, strict=True)), records)
    for way in WAYS:
        for count in records:
            size, glibc, peak = best[way]["glibc"][count]
            others = " ".join(
                f"{build}={best[way][build][count][1] / glibc:.2f}x,{megabytes(best[way][build][count][2])}MB"
                for build in BUILDS[1:]
            )
            print(f"codec-bench {way} {size} glibc={glibc / 1000:.2f}us,{megabytes(peak)}MB {others}")
    folder = run.OUTPUT_DIR.parent / "codec-bench"
    folder.mkdir(parents=True, exist_ok=True)
    published = table(best, records)
    (folder / "results.md").write_text(published + "\n")
    (folder / "results.svg").write_text(plot(best, records))
    if "--publish" in sys.argv:
        publish.replace_between_markers(HERE / "README.md", START, END, published)
        shutil.copyfile(folder / "results.svg", HERE / "codec-results.svg")
        print("published build/codec-bench/results.md and results.svg into bench/README.md and bench/codec-results.svg")


if __name__ == "__main__":
    main()
