"""The published CBOR examples (RFC 8949, Appendix A) that dumps can write.

The examples are kept in tests/vectors, with their source in SOURCES.md there.
The tests' own model of the encoding (cbor_model) is held to the same examples.
"""

import json
import math
import pathlib

import pytest

import cbor_model
from veldspray_cbor import dumps

VECTORS = pathlib.Path(__file__).parent / "vectors" / "appendix_a.json"

# Values the examples give only in diagnostic notation.
DIAGNOSTIC_VALUES = {
    "Infinity": math.inf,
    "-Infinity": -math.inf,
    "NaN": math.nan,
    "h''": b"",
    "h'01020304'": b"\x01\x02\x03\x04",
    "{1: 2, 3: 4}": {1: 2, 3: 4},
}

# Where dumps deliberately writes something other than the example.
DIFFERENT = {
    # Half-precision subnormals are written in single precision.
    "f90001": "fa33800000",
    # Integers beyond 64 bits are refused, not written as bignum tags.
    "c249010000000000000000": None,
    "3bffffffffffffffff": None,
    "c349010000000000000000": None,
}

# Alternative encodings in the examples that are exactly what dumps writes in
# its indefinite-length mode; the others mix counted and indefinite containers
# or split strings into chunks, which dumps never does.
INDEFINITE_FORMS = {
    "9fff",
    "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff",
    "bf61610161629f0203ffff",
    "bf6346756ef563416d7421ff",
}


def examples():
    rows = []
    for entry in json.loads(VECTORS.read_text()):
        if "decoded" in entry:
            value = entry["decoded"]
        elif entry["diagnostic"] in DIAGNOSTIC_VALUES:
            value = DIAGNOSTIC_VALUES[entry["diagnostic"]]
        else:
            continue
        rows.append(pytest.param(value, entry["hex"], entry["roundtrip"], id=entry["hex"]))
    return rows


@pytest.mark.parametrize("value, example, preferred", examples())
@pytest.mark.parametrize("encode", [dumps, cbor_model.dumps], ids=["dumps", "model"])
def test_appendix_a(encode, value, example, preferred):
    if example in DIFFERENT:
        expected = DIFFERENT[example]
        if expected is None:
            with pytest.raises(RuntimeError, match="out of range"):
                encode(value)
        else:
            assert encode(value).hex() == expected
        return
    written = {encode(value, indefinite=False).hex(), encode(value, indefinite=True).hex()}
    assert (example in written) == (preferred or example in INDEFINITE_FORMS)
