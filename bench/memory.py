"""What one call of dumps leaves resident, and its peak, with the module as
installed against another build of it (make bench-memory).

    python bench/memory.py OTHER_MODULE_DIR [--gigabyte]

Each size is one call in a process of its own, on a list of document-shaped
records (a dict of an integer, a float, short strings, a list and a bool),
drawn in turn from 1,000 distinct ones; the output grows from about 9 KB to
100 MB, or 1 GB with --gigabyte (about 3 GB of memory per process). A process
reads its resident size before the call and after it, with the result
released, and the peak of the call alone (the peak is reset before it). The
installed module runs from the environment's Python; the other from
OTHER_MODULE_DIR, put first on its path (make bench-memory builds the module
there with the C library's allocator).
"""

import subprocess
import sys

import cases

RECORDS = (150, 16_000, 56_000, 320_000, 1_800_000)
GIGABYTE_RECORDS = 16_000_000

CHILD = """
import sys
from veldspray_cbor import dumps

def resident_kib(field):
    with open("/proc/self/status") as stream:
        return next(int(line.split()[1]) for line in stream if line.startswith(field))

pool = [{"id": i * 7919, "name": f"user-{i}", "score": i / 7, "tags": ["a", "bc", str(i)], "active": i % 2 == 0}
        for i in range(1000)]
records = [pool[i % 1000] for i in range(int(sys.argv[1]))]
dumps(pool[:1])
before = resident_kib("VmRSS:")
with open("/proc/self/clear_refs", "w") as stream:
    stream.write("5")
output = dumps(records)
size = len(output)
del output
print(size, resident_kib("VmHWM:") - before, resident_kib("VmRSS:") - before)
"""


def one_call(module_dir, records):
    """(output bytes, peak KiB above the start, KiB left resident after the call)."""
    environment = cases.module_environment(module_dir)
    run = subprocess.run(
        [sys.executable, "-c", CHILD, str(records)], env=environment, check=True, capture_output=True, text=True
    )
    return tuple(map(int, run.stdout.split()))


def megabytes(kib):
    return f"{kib / 1024:.1f}"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sizes = RECORDS + ((GIGABYTE_RECORDS,) if "--gigabyte" in sys.argv[2:] else ())
    print(f"bench/memory.py: one call per process on {cases.machine()}; MB above the resident size before the call")
    print("| output | left after, installed | left after, other | peak, installed | peak, other |")
    print("|---|---:|---:|---:|---:|")
    for records in sizes:
        size, peak, left = one_call(None, records)
        other_size, other_peak, other_left = one_call(sys.argv[1], records)
        if size != other_size:
            sys.exit(f"the builds wrote {size} and {other_size} bytes")
        print(
            f"| {size / 1e6:.3g} MB | {megabytes(left)} | {megabytes(other_left)} | {megabytes(peak)} | "
            f"{megabytes(other_peak)} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
