"""The inputs and encoders that the benchmark crosses, which its driver and
every worker import: a worker builds only the input it times."""

import json
import os
import pathlib
import platform
import re
import struct
import subprocess

REPO = pathlib.Path(__file__).resolve().parent.parent
DATA_ENV = "VELDSPRAY_BENCH_DATA"
COUNT = 10**5


def data_dir(option=None):
    """The JSON documents' folder: the option, $VELDSPRAY_BENCH_DATA, or examples/data."""
    return pathlib.Path(option or os.environ.get(DATA_ENV) or REPO / "examples" / "data")


def machine():
    with open("/proc/cpuinfo") as stream:
        names = [line.split(":", 1)[1].strip() for line in stream if line.startswith("model name")] + ["unknown CPU"]
    return f"{os.cpu_count()} cores of {names[0]} ({platform.machine()})"


def allocator():
    """Which allocator the installed module binds: one that imports malloc
    from the C library has that one's; a Linux build has the bundled one."""
    import veldspray_cbor

    symbols = subprocess.run(
        ["nm", "-D", "--undefined-only", veldspray_cbor.__file__], capture_output=True, text=True, check=True
    ).stdout
    return "the C library's allocator" if re.search(r"\bmalloc\b", symbols) else "the bundled allocator (mimalloc)"


def module_environment(module_dir=None):
    """The environment of a child process that imports the installed module, or
    the build in module_dir, put first on its path; its dicts laid out alike."""
    environment = {**os.environ, "PYTHONHASHSEED": "0"}
    if module_dir:
        environment["PYTHONPATH"] = os.path.abspath(module_dir)
    return environment


def _nested(depth):
    return [1] if depth == 1 else [_nested(depth - 1)]


def _single(x):
    """x rounded to the nearest float32, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


DOCUMENTS = ("canada", "citm_catalog", "twitter")  # read from data_dir()
# name -> builder of the value; bench/README.md describes each.
INPUTS = dict.fromkeys(DOCUMENTS) | {
    "small_ints": lambda: [i % 24 for i in range(COUNT)],
    "int64": lambda: [(2**40 + i * 1_000_003) * (-1) ** i for i in range(COUNT)],
    "float_half": lambda: [(i % 4096 - 2048) * 0.25 for i in range(COUNT)],
    "float_single": lambda: [_single(1.1 + i * 1e-3) for i in range(COUNT)],
    "float_double": lambda: [(i + 1) * 0.1 for i in range(COUNT)],
    "short_strings": lambda: [f"item-{i}" for i in range(10**4)],
    "bytes_10mb": lambda: bytes(range(256)) * 40960,
    "dict_1e5": lambda: {f"key{i}": i for i in range(COUNT)},
    "nested_500": lambda: _nested(500),
    "tiny_int": lambda: 5,
    "tiny_dict": lambda: {"a": 1},
    "tiny_rpc": lambda: {"jsonrpc": "2.0", "id": 4711, "method": "get", "params": [1, "x", True, None, 2.5]},
}
TINY_INPUTS = ("tiny_int", "tiny_dict", "tiny_rpc")

# name -> (setup, statement). The setup binds the encoder to a local name, so
# that a statement costs one call and nothing else; `value` is the input.
DUMPS = "from veldspray_cbor import dumps"
ENCODERS = {
    "veldspray definite": (DUMPS, "dumps(value, indefinite=False)"),
    "veldspray indefinite": (DUMPS, "dumps(value)"),
    "cbor2": ("from cbor2 import dumps", "dumps(value)"),
    "cbor2 canonical": ("from cbor2 import dumps", "dumps(value, canonical=True)"),
    "msgpack": ("from msgpack import packb as dumps", "dumps(value)"),
    "msgspec msgpack": ("from msgspec.msgpack import encode as dumps", "dumps(value)"),
    "msgspec json": ("from msgspec.json import encode as dumps", "dumps(value)"),
    "orjson": ("from orjson import dumps", "dumps(value)"),
    "json": ("from json import dumps", "dumps(value)"),
}
# dumps in each way a caller may write it, timed on the tiny inputs, where the
# call itself is much of the cost: heading -> encoder, two of them timed above.
SHAPE_ONLY = {
    "dumps(v, False)": (DUMPS, "dumps(value, False)"),
    "dumps(v, max_depth=8)": (DUMPS, "dumps(value, max_depth=8)"),
    "dumps(value=v)": (DUMPS, "dumps(value=value)"),
}
CALL_SHAPES = {"dumps(v)": "veldspray indefinite", "dumps(v, indefinite=False)": "veldspray definite"}
CALL_SHAPES |= {name: name for name in SHAPE_ONLY}
# A worker that builds the input and makes no call: the floor of the memory figures.
NO_CALL = {"no call": ("pass", "pass")}
# The inputs that an encoder does not take: no bytes in JSON, and orjson
# nests at most 254 deep.
REFUSED = {("orjson", "bytes_10mb"), ("json", "bytes_10mb"), ("orjson", "nested_500")}


def build_input(name, folder):
    if name in DOCUMENTS:
        with open(pathlib.Path(folder) / f"{name}.json", "rb") as stream:
            return json.load(stream)
    return INPUTS[name]()
