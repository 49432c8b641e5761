"""Instructions per call of dumps under callgrind, for the module as installed
and another build of it (make instructions).

    python bench/instructions.py OTHER_MODULE_DIR [DATA_DIR]

The other build runs from OTHER_MODULE_DIR, put first on the path (make
instructions builds the module there with the C library's allocator). Each
input is counted in two processes that differ only in the number of calls,
after one warm-up call: the difference, divided by the extra calls, is the
cost of a warm call without the interpreter's start or the input's build.
Callgrind counts instructions, which a shared machine does not disturb as it
does time; PYTHONHASHSEED=0 fixes the dicts' layout.
"""

import os
import re
import subprocess
import sys
import tempfile

import cases

# name -> (builder of the value, calls in the first process; the second makes twice as many)
INPUTS = {
    "twitter": (None, 4),
    "citm_catalog": (None, 2),
    "canada": (None, 1),
    "20,000 random doubles": ("[random.Random(0).uniform(-1e6, 1e6) for _ in range(20_000)]", 4),
    "20,000 integers of 8 bytes": ("[2**40 + i * 1_000_003 for i in range(20_000)]", 4),
    "20,000 short strings": ('[f"item-{i}" for i in range(20_000)]', 10),
    "tiny_rpc": ('{"jsonrpc": "2.0", "id": 4711, "method": "get", "params": [1, "x", True, None, 2.5]}', 2000),
    "tiny_dict": ('{"a": 1}', 5000),
}

CHILD = """
import json, random, sys
from veldspray_cbor import dumps
document, builder, calls = sys.argv[1:]
value = json.load(open(document)) if document else eval(builder)
for _ in range(int(calls) + 1):
    dumps(value)
"""


def instructions(module_dir, folder, name, builder, calls):
    document, environment = ("" if builder else f"{name}.json"), cases.module_environment(module_dir)
    with tempfile.TemporaryDirectory() as scratch:
        output = os.path.join(scratch, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={output}", sys.executable, "-c", CHILD]
        run = subprocess.run(
            [*command, document, builder or "", str(calls)], cwd=folder, env=environment, capture_output=True, text=True
        )
        if run.returncode != 0:
            sys.exit(f"callgrind failed on {name}:\n{run.stderr}")
        return int(re.search(r"Collected : (\d+)", run.stderr).group(1))


def per_call(module_dir, folder, name, builder, calls):
    return (
        instructions(module_dir, folder, name, builder, 2 * calls)
        - instructions(module_dir, folder, name, builder, calls)
    ) / calls


def count(figure):
    return f"{figure / 1e6:.3g} M" if figure >= 1e6 else f"{figure:,.0f}"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    folder = cases.data_dir(sys.argv[2] if len(sys.argv) > 2 else None)
    print(f"bench/instructions.py: callgrind's instructions per warm call, PYTHONHASHSEED=0, documents from {folder}")
    print("| input | installed | other | installed / other |")
    print("|---|---:|---:|---:|")
    for name, (builder, calls) in INPUTS.items():
        installed = per_call(None, folder, name, builder, calls)
        other = per_call(sys.argv[1], folder, name, builder, calls)
        print(f"| {name} | {count(installed)} | {count(other)} | {installed / other:.2f}× |", flush=True)


if __name__ == "__main__":
    main()
