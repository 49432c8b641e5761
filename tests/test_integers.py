"""Integers: 64-bit values written exactly, everything else refused with a
range error that quotes the start of the value's text."""

import pytest

from support import table
from veldspray_cbor import dumps

RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"


@pytest.mark.parametrize("value, expected", [(int(text), expected) for text, expected in table("integer_heads.txt")])
def test_integers_in_range(value, expected):
    assert dumps(value).hex() == expected
    assert dumps([value], indefinite=False).hex() == "81" + expected


class Plain(int):
    pass


class NeverEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class EqualRaises(int):
    def __eq__(self, other):
        raise ValueError("no comparison")

    __hash__ = int.__hash__


class Named(int):
    def __str__(self):
        return "a big number with a long name that runs past the cut"


class StrRaises(int):
    def __str__(self):
        raise ValueError("cannot describe me")


class StrRaisesSurrogate(int):
    def __str__(self):
        raise ValueError("\udc80")


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


class StrRaisesUnprintable(int):
    def __str__(self):
        raise ValueError(Unprintable())


class StrSurrogate(int):
    def __str__(self):
        return "\ud800"


class StrWithNul(int):
    def __str__(self):
        return "ab\x00cd"


class StrWide(int):
    """39 ASCII bytes, then a 3-byte character across the 40-byte cut."""

    def __str__(self):
        return "x" * 39 + "\u20ac" + "tail"


def test_int_subclass_in_range_is_written_like_an_int():
    assert dumps(Plain(300)).hex() == "19012c"
    assert dumps(Plain(-300)).hex() == "39012b"


@pytest.mark.parametrize(
    "value, text",
    [
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**50, "1" + "0" * 39),
        (-(10**50), "-1" + "0" * 38),
        (NeverEqual(5), "5"),
        (EqualRaises(5), "5"),
        (Named(2**70), "a big number with a long name that runs "),
        (StrRaises(2**70), "failed with ValueError: cannot describe m"[:40]),
        (StrRaisesSurrogate(2**70), "failed with ValueError: \\udc80"),
        (StrRaisesUnprintable(2**70), "failed with ValueError"),
        (StrSurrogate(2**70), "failed with Unable to cast Python instan"),
        (StrWithNul(2**70), "ab"),
        (StrWide(2**70), "x" * 39),
    ],
    ids=lambda value: type(value).__name__ if isinstance(value, int) else None,
)
def test_range_error_quotes_the_value_text(value, text):
    for container in (value, [value], {"k": value}):
        with pytest.raises(RuntimeError) as caught:
            dumps(container)
        assert str(caught.value) == RANGE_ERROR + text
        assert caught.value.__cause__ is None and caught.value.__context__ is None


def test_range_error_text_is_never_longer_than_forty_bytes():
    with pytest.raises(RuntimeError) as caught:
        dumps(-(10**200))
    assert len(str(caught.value).encode()) == len(RANGE_ERROR) + 40


def test_booleans_never_reach_the_integer_writer():
    assert dumps([True, False, 1, 0], indefinite=False).hex() == "84f5f40100"
