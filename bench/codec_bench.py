"""Times the codec alone in four builds and compares them (make codec-bench).

    python bench/codec_bench.py GLIBC GLIBC_MIMALLOC MUSL MUSL_MIMALLOC [--gigabyte] [--publish]

The arguments are builds of bench/codec/codec_bench.cpp: glibc and musl,
each with the C library's allocator and with the bundled one. Each round runs the builds in turn, in an
order rotated each round: each size in a process of its own, then all sizes
in one process, smallest first (what an allocator did before changes what it
does next). --gigabyte adds a document of about 1 GB; --publish puts the
tables (build/codec-bench/results.md) into bench/README.md.
"""

import datetime
import os
import pathlib
import platform
import subprocess
import sys

import cases
import publish

BUILDS = ("glibc", "glibc+mimalloc", "musl", "musl+mimalloc")
RECORDS = (0, 4, 50, 1500, 5000, 100000, 500000)  # the one-item call, then about 1 KB to 100 MB
GIGABYTE_RECORDS = 5000000
ROUNDS = 4
REPEATS = 2  # rounds of about 20 ms within a process, after its first call
WAYS = {"alone": "Each size in a process of its own", "shared": "All sizes in one process, smallest first"}
START = "<!-- codec benchmark: written by make codec-bench CODEC_BENCH_ARGS=--publish -->"
END = "<!-- end of codec benchmark -->"
HEADER = (
    "| output | glibc µs | glibc + mimalloc | musl | musl + mimalloc "
    "| peak RSS MB, glibc / glibc + mimalloc / musl / musl + mimalloc |"
)


def run_process(binary, records):
    """{records: (bytes, nanoseconds, peak KiB)} of one process of binary."""
    output = subprocess.run([binary, str(REPEATS), *map(str, records)], check=True, capture_output=True, text=True)
    rows = (line.split() for line in output.stdout.splitlines())
    return {int(count): (int(size), float(nanoseconds), int(peak)) for count, size, nanoseconds, peak in rows}


def measure(binaries, records):
    """{(way, build, records): (bytes, best nanoseconds, highest peak KiB)}."""
    best = {}

    def keep(way, build, results):
        for count, (size, nanoseconds, peak) in results.items():
            _, fastest, highest = best.get((way, build, count), (size, float("inf"), 0))
            best[way, build, count] = (size, min(fastest, nanoseconds), max(highest, peak))

    for index in range(ROUNDS):
        for offset in range(len(BUILDS)):
            build = BUILDS[(index + offset) % len(BUILDS)]
            for count in records:
                keep("alone", build, run_process(binaries[build], [count]))
            keep("shared", build, run_process(binaries[build], records))
        print(f"codec-bench: round {index + 1} of {ROUNDS} done", flush=True)
    if len({(way, count, size) for (way, _, count), (size, _, _) in best.items()}) != len(best) // len(BUILDS):
        sys.exit("codec_bench: the builds wrote different sizes")
    return best


def size_label(size):
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("KB", 1e3)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size} B"


def megabytes(kib):
    return f"{kib / 1024:.0f}" if kib >= 10 * 1024 else f"{kib / 1024:.1f}"


def tables(best, records):
    heading = (
        f"Run on {datetime.date.today().isoformat()}, on {cases.machine()}, glibc {platform.libc_ver()[1]}; "
        f"{ROUNDS} rounds, the builds in turn in an order rotated each round; best time of one call over the "
        f"rounds (each process times a size's first call and {REPEATS} runs of about 20 ms of calls), highest "
        f"peak RSS; load average {os.getloadavg()[0]:.2f} at the end."
    )
    lines = [heading, ""]
    for way, title in WAYS.items():
        lines += [f"{title}:", "", HEADER, "|---|---:|---:|---:|---:|---:|"]
        for count in records:
            size, glibc, _ = best[way, "glibc", count]
            ratios = " | ".join(f"{best[way, build, count][1] / glibc:.2f}×" for build in BUILDS[1:])
            peaks = " / ".join(megabytes(best[way, build, count][2]) for build in BUILDS)
            lines.append(f"| {size_label(size)} | {glibc / 1000:,.2f} | {ratios} | {peaks} |")
        lines.append("")
    return "\n".join(lines).strip()


def main():
    binaries = [argument for argument in sys.argv[1:] if not argument.startswith("--")]
    if len(binaries) != len(BUILDS):
        sys.exit(__doc__)
    records = (*RECORDS, GIGABYTE_RECORDS) if "--gigabyte" in sys.argv else RECORDS
    published = tables(measure(dict(zip(BUILDS, binaries, strict=True)), records), records)
    print(published)
    (cases.REPO / "build" / "codec-bench").mkdir(parents=True, exist_ok=True)
    (cases.REPO / "build" / "codec-bench" / "results.md").write_text(published + "\n")
    if "--publish" in sys.argv:
        publish.replace_between_markers(pathlib.Path(__file__).parent / "README.md", START, END, published)
        print("published build/codec-bench/results.md into bench/README.md")


if __name__ == "__main__":
    main()
