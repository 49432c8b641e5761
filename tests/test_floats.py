"""Floats are written in the narrowest width that reads back exactly, half
precision only for zeros and normal half-precision numbers."""

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from cbor_model import HALF_LARGEST, HALF_SMALLEST_NORMAL, float_item
from support import table
from veldspray_cbor import dumps


class Measured(float):
    pass


def parse_float(text):
    """A float as the shared table writes it: decimal, hex-float, inf or nan,
    or bits:HEX for an exact bit pattern."""
    if text.startswith("bits:"):
        return struct.unpack(">d", bytes.fromhex(text[len("bits:") :]))[0]
    return float.fromhex(text) if "0x" in text else float(text)


# (value, bytes written)
FLOATS = [(parse_float(text), expected) for text, expected in table("float_widths.txt")]
FLOATS.append((Measured(0.5), "f93800"))


@pytest.mark.parametrize("value, expected", FLOATS)
def test_float_widths(value, expected):
    assert dumps(value).hex() == expected
    assert dumps([value], indefinite=False).hex() == "81" + expected


def from_bits(bits):
    return struct.unpack(">d", bits.to_bytes(8, "big"))[0]


def between(low, high):
    """Finite floats of either sign with magnitudes from low to high."""
    magnitudes = st.floats(min_value=low, max_value=high)
    return st.tuples(magnitudes, st.booleans()).map(lambda pair: -pair[0] if pair[1] else pair[0])


def single_precision(low, high):
    """Floats that float32 holds exactly, with magnitudes from low to high."""
    return between(low, high).map(lambda x: struct.unpack(">f", struct.pack(">f", x))[0])


FLOAT_RANGES = {
    "any bit pattern": st.integers(0, 2**64 - 1).map(from_bits),
    "half subnormals": between(2.0**-25, HALF_SMALLEST_NORMAL),
    "half normals": single_precision(HALF_SMALLEST_NORMAL, HALF_LARGEST),
    "half range edge": between(65000.0, 65600.0),
    "single subnormals": single_precision(2.0**-149, 2.0**-126),
    "around 2**24": st.integers(2**24 - 64, 2**24 + 64).map(float),
    "single range edge": between(3.4e38, 3.5e38),
    "single overflow": between(3.4028235677973366e38, 1.7e308),
    "single exact": single_precision(0.0, 3.4028234663852886e38),
}


@pytest.mark.parametrize("strategy", FLOAT_RANGES.values(), ids=FLOAT_RANGES.keys())
def test_every_float_gets_the_narrowest_exact_width(strategy):
    @given(strategy)
    def check(x):
        assert dumps(x) == float_item(x)

    check()
