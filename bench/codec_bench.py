"""Times the codec alone in three builds and compares them (make codec-bench).

    python bench/codec_bench.py GLIBC MUSL MUSL_MIMALLOC [--publish]

Each argument is a build of bench/codec/codec_bench.cpp: for glibc, for musl
with musl's own allocator, and for musl with the bundled one. The three run in
turn, RUNS times in a rotating order, so that whatever else the machine does
falls on each alike; for each size the best time of one call of each build
counts. Prints per size one line, the times of the musl builds as ratios to
glibc's, and writes the table to build/codec-bench/results.md; --publish also
puts it into bench/README.md, between its marker lines.
"""

import datetime
import os
import pathlib
import platform
import subprocess
import sys

import publish
import run

BUILDS = ("glibc", "musl", "musl+mimalloc")
RECORDS = (0, 4, 50, 500, 5000, 10000)  # the one-item call, then about 1 KB to 2 MB
RUNS = 5
ROUNDS = 3  # rounds of about 20 ms per size in each run
START = "<!-- codec benchmark: written by make codec-bench CODEC_BENCH_ARGS=--publish -->"
END = "<!-- end of codec benchmark -->"


def measure(binaries):
    """{build: {records: (bytes, best nanoseconds)}} over RUNS runs of each build."""
    best = {build: {} for build in BUILDS}
    for index in range(RUNS):
        for offset in range(len(BUILDS)):
            build = BUILDS[(index + offset) % len(BUILDS)]
            output = subprocess.run(
                [binaries[build], str(ROUNDS), *map(str, RECORDS)], check=True, capture_output=True, text=True
            ).stdout
            for line in output.splitlines():
                records, size, nanoseconds = line.split()
                previous = best[build].get(int(records), (int(size), float("inf")))
                best[build][int(records)] = (int(size), min(previous[1], float(nanoseconds)))
    sizes = {build: [best[build][records][0] for records in RECORDS] for build in BUILDS}
    if len({tuple(value) for value in sizes.values()}) != 1:
        sys.exit(f"codec_bench: the builds wrote different sizes: {sizes}")
    return best


def table(best):
    rows = []
    for records in RECORDS:
        size, glibc = best["glibc"][records]
        label = f"{size:,} B (one item)" if records == 0 else f"{size / 1000:,.1f} KB ({records:,} records)"
        ratios = [f"{best[build][records][1] / glibc:.2f}×" for build in BUILDS[1:]]
        rows.append(f"| {label} | {glibc / 1000:,.2f} µs | {' | '.join(ratios)} |")
    loads = os.getloadavg()
    heading = (
        f"Run on {datetime.date.today().isoformat()}, on {os.cpu_count()} cores of {run._cpu_name()} "
        f"({platform.machine()}), glibc {platform.libc_ver()[1]}; best of {RUNS} runs of {ROUNDS} rounds each; load average "
        f"{loads[0]:.2f} at the end."
    )
    return "\n".join([heading, "", "| output | glibc | musl | musl + mimalloc |", "|---|---|---|---|", *rows])


def main():
    arguments = [argument for argument in sys.argv[1:] if argument != "--publish"]
    if len(arguments) != len(BUILDS):
        sys.exit(__doc__)
    best = measure(dict(zip(BUILDS, arguments, strict=True)))
    for records in RECORDS:
        size, glibc = best["glibc"][records]
        ratios = " ".join(f"{build}={best[build][records][1] / glibc:.2f}x" for build in BUILDS[1:])
        print(f"codec-bench {size} glibc={glibc / 1000:.2f} us {ratios}")
    results = run.OUTPUT_DIR.parent / "codec-bench" / "results.md"
    results.parent.mkdir(parents=True, exist_ok=True)
    published = table(best)
    results.write_text(published + "\n")
    if "--publish" in sys.argv:
        publish.replace_between_markers(pathlib.Path(__file__).parent / "README.md", START, END, published)
        print(f"published {results.relative_to(run.cases.REPO)} into bench/README.md")


if __name__ == "__main__":
    main()
