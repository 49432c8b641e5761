"""Floats are written in the narrowest width that reads back exactly."""

import math
import struct

import pytest

from veldspray_cbor import dumps


class Measured(float):
    pass


# (value, bytes written)
FLOATS = [
    (0.0, "f90000"),
    (-0.0, "f98000"),
    (1.0, "f93c00"),
    (1.5, "f93e00"),
    (-2.0, "f9c000"),
    (2.5, "f94100"),
    (65504.0, "f97bff"),
    (-65504.0, "f9fbff"),
    (65505.0, "fa477fe100"),
    (65536.0, "fa47800000"),
    (100000.0, "fa47c35000"),
    (2.0**-14, "f90400"),
    (2.0**-24, "fa33800000"),
    (1023 * 2.0**-24, "fa387fc000"),
    (2.0**-149, "fa00000001"),
    (1024.5, "fa44801000"),
    (16777216.0, "fa4b800000"),
    (16777217.0, "fb4170000010000000"),
    (3.4028234663852886e38, "fa7f7fffff"),
    (1e300, "fb7e37e43c8800759c"),
    (1e-05, "fb3ee4f8b588e368f1"),
    (0.1, "fb3fb999999999999a"),
    (1.0000000000000002, "fb3ff0000000000001"),
    (5e-324, "fb0000000000000001"),
    (math.inf, "f97c00"),
    (-math.inf, "f9fc00"),
    (math.nan, "f97e00"),
    (-math.nan, "f97e00"),
    (struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0], "f97e00"),
    (struct.unpack(">d", bytes.fromhex("fff8000000000abc"))[0], "f97e00"),
    (Measured(0.5), "f93800"),
]


@pytest.mark.parametrize("value, expected", FLOATS)
def test_float_widths(value, expected):
    assert dumps(value).hex() == expected
    assert dumps([value], indefinite=False).hex() == "81" + expected
