"""The inputs and the encoders that the benchmark crosses.

Every process of a run (the driver, the timing workers and the memory probes)
imports this module, builds only the input it needs and looks an encoder up
by name, so all of them measure exactly the same thing.
"""

import json
import os
import pathlib
import struct

REPO = pathlib.Path(__file__).resolve().parent.parent
DATA_ENV = "VELDSPRAY_BENCH_DATA"
DEFAULT_DATA_DIR = REPO / "examples" / "data"

COUNT = 10**5
STRING_COUNT = 10**4
BYTES_SIZE = 10 * 2**20
NESTING = 500


def data_dir(option=None):
    """The folder holding the JSON documents: the option, then the
    environment variable, then the repository's examples/data."""
    if option:
        return pathlib.Path(option)
    if os.environ.get(DATA_ENV):
        return pathlib.Path(os.environ[DATA_ENV])
    return DEFAULT_DATA_DIR


def _document(file_name):
    def build(folder):
        with open(pathlib.Path(folder) / file_name, "rb") as stream:
            return json.load(stream)

    build.file_name = file_name
    return build


def _single(x):
    """x rounded to the nearest float32, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def _nested(depth):
    value = [1]
    for _ in range(depth - 1):
        value = [value]
    return value


# name -> (description, builder). A builder takes the data folder; the
# documents carry the file they read, so a missing one can be skipped.
INPUTS = {
    "canada": ("canada.json: GeoJSON, mostly float pairs", _document("canada.json")),
    "citm_catalog": ("citm_catalog.json: dicts, ints, short strings", _document("citm_catalog.json")),
    "twitter": ("twitter.json: dicts, non-ASCII text, 64-bit ids", _document("twitter.json")),
    "small_ints": ("10^5 ints 0..23 (one byte each)", lambda _: [i % 24 for i in range(COUNT)]),
    "int64": (
        "10^5 ints of 8-byte magnitude, alternating sign",
        lambda _: [(2**40 + i * 1_000_003) * (-1 if i % 2 else 1) for i in range(COUNT)],
    ),
    "float_half": (
        "10^5 floats exact in half precision (k/4)",
        lambda _: [((i % 4096) - 2048) * 0.25 for i in range(COUNT)],
    ),
    "float_single": (
        "10^5 floats exact in single precision only",
        lambda _: [_single(1.1 + i * 1e-3) for i in range(COUNT)],
    ),
    "float_double": (
        "10^5 floats needing double precision (0.1 steps)",
        lambda _: [(i + 1) * 0.1 for i in range(COUNT)],
    ),
    "short_strings": ("10^4 short ASCII strings", lambda _: [f"item-{i}" for i in range(STRING_COUNT)]),
    "bytes_10mb": ("one 10 MiB bytes value", lambda _: bytes(range(256)) * (BYTES_SIZE // 256)),
    "dict_1e5": ("dict of 10^5 str -> int entries", lambda _: {f"key{i}": i for i in range(COUNT)}),
    "nested_500": ("lists nested 500 deep", lambda _: _nested(NESTING)),
    "tiny_int": ("one call: 5", lambda _: 5),
    "tiny_dict": ('one call: {"a": 1}', lambda _: {"a": 1}),
    "tiny_rpc": ("one call: an RPC-shaped message", lambda _: RPC_MESSAGE),
}

RPC_MESSAGE = {"jsonrpc": "2.0", "id": 4711, "method": "get", "params": [1, "x", True, None, 2.5]}

# name -> (setup, statement). The setup binds the encoder to a local name, so
# every statement costs one call and nothing else; `value` is the input.
ENCODERS = {
    "veldspray definite": ("from veldspray_cbor import dumps", "dumps(value, indefinite=False)"),
    "veldspray indefinite": ("from veldspray_cbor import dumps", "dumps(value)"),
    "cbor2": ("from cbor2 import dumps", "dumps(value)"),
    "cbor2 canonical": ("from cbor2 import dumps", "dumps(value, canonical=True)"),
    "msgpack": ("from msgpack import packb as dumps", "dumps(value)"),
    "orjson": ("from orjson import dumps", "dumps(value)"),
    "json": ("from json import dumps", "dumps(value)"),
}

BASELINE = "cbor2"

# dumps in each way a caller may write it, timed on the tiny inputs, where the
# call itself is much of the cost: table heading -> encoder. Two shapes are the
# calls of the veldspray columns above, so each call is timed once and both
# tables show the same figure for it.
CALL_SHAPES = {
    "dumps(v)": "veldspray indefinite",
    "dumps(v, False)": "veldspray positional False",
    "dumps(v, indefinite=False)": "veldspray definite",
    "dumps(v, max_depth=8)": "veldspray max_depth=8",
    "dumps(value=v)": "veldspray value=v",
}
# The other shapes: encoders timed on the tiny inputs only (no commas in the
# names, which --encoders separates).
SHAPE_ONLY = {
    "veldspray positional False": "dumps(value, False)",
    "veldspray max_depth=8": "dumps(value, max_depth=8)",
    "veldspray value=v": "dumps(value=value)",
}
TINY_INPUTS = ("tiny_int", "tiny_dict", "tiny_rpc")
ENCODERS.update((name, ("from veldspray_cbor import dumps", statement)) for name, statement in SHAPE_ONLY.items())


def crosses(encoder, input_name):
    """Whether the run times this encoder on this input."""
    return encoder not in SHAPE_ONLY or input_name in TINY_INPUTS


def build_input(name, folder):
    return INPUTS[name][1](folder)


def document_file(name):
    """The file an input reads from the data folder, or None."""
    return getattr(INPUTS[name][1], "file_name", None)


def missing_document(name, folder):
    """The path of the document an input reads, when it is absent."""
    file_name = document_file(name)
    if file_name is None:
        return None
    path = pathlib.Path(folder) / file_name
    return None if path.is_file() else path


def encoder_function(name):
    """The encoder as a one-argument function, for the memory probe."""
    setup, statement = ENCODERS[name]
    scope = {}
    exec(setup, scope)
    return eval(f"lambda value: {statement}", scope)
