"""A model of what dumps writes, in plain Python and independent of the module,
for the tests to compare the module's bytes and errors against.

It covers None, bools, ints, floats, str, bytes, lists, tuples and dicts, and
subclasses of those (written from their stored contents, like the module does),
plus the types that fit no kind at all (set, frozenset, bytearray, memoryview,
bare objects). Values whose own Python code takes part in the encoding (the
__index__ of other objects, the __eq__ or __str__ of an int subclass) are not
modelled: the caller keeps them out.
"""

import math
import struct

U64_MAX = 2**64 - 1
# Integers on either side of every width boundary of a head, inside both 64-bit ranges.
INTEGER_EDGES = [
    0,
    1,
    23,
    24,
    255,
    256,
    65535,
    65536,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    U64_MAX,
    -1,
    -24,
    -25,
    -256,
    -257,
    -65537,
    -(2**32),
    -(2**32) - 1,
    -(2**63) + 1,
    -(2**63),
]
HALF_SMALLEST_NORMAL = 2.0**-14
HALF_LARGEST = 65504.0

CAST = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
INTEGER_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
# How many bytes of an out-of-range integer's text the range error quotes.
VALUE_TEXT_LIMIT = 40
# How deep the model follows nesting when no depth limit stops it sooner.
FOLLOWED_DEPTH = 300


def is_foreign(value):
    """Whether the value fits no kind: classifying it finds no number, truth
    value, string or container in it."""
    return type(value) is object or isinstance(value, (set, frozenset, bytearray, memoryview))


class BeyondFollowedDepth(Exception):
    """The value nests deeper than FOLLOWED_DEPTH with no max_depth below that:
    whether dumps writes it or raises RecursionError depends on the stack."""


def head(major, argument):
    """The head of an item: major type and argument in the shortest form."""
    if argument < 24:
        return bytes([major << 5 | argument])
    size = next(size for size in (1, 2, 4, 8) if argument < 1 << (8 * size))
    return bytes([major << 5 | (24 + size.bit_length() - 1)]) + argument.to_bytes(size, "big")


def exact_in(code, x):
    try:
        return struct.unpack(code, struct.pack(code, x))[0] == x
    except OverflowError:
        return False


def float_item(x):
    """The shortest exact form, worked out with struct's own conversions: half for
    zeros and normal half-precision numbers, single for anything else that float32
    holds exactly, double for the rest; NaN and the infinities in fixed forms."""
    if math.isnan(x):
        return bytes.fromhex("f97e00")
    if math.isinf(x):
        return bytes.fromhex("f97c00" if x > 0 else "f9fc00")
    if x == 0 or (HALF_SMALLEST_NORMAL <= abs(x) <= HALF_LARGEST and exact_in(">e", x)):
        return b"\xf9" + struct.pack(">e", x)
    if exact_in(">f", x):
        return b"\xfa" + struct.pack(">f", x)
    return b"\xfb" + struct.pack(">d", x)


def integer_item(value):
    number = int.__index__(value)
    if 0 <= number <= U64_MAX:
        return head(0, number)
    if -(2**63) <= number < 0:
        return head(1, -1 - number)
    text = str(value).encode()[:VALUE_TEXT_LIMIT].decode("utf-8", "ignore")  # cut at a character
    raise RuntimeError(INTEGER_RANGE + text)


def text_item(value):
    try:
        data = str.__str__(value).encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate has no UTF-8 form
        raise RuntimeError(CAST) from None
    return head(3, len(data)) + data


def dumps(value, indefinite=True, max_depth=0):
    """The bytes dumps(value, indefinite, max_depth) writes, or the exception it
    raises (TypeError for a top-level value of no kind, without its text)."""
    if is_foreign(value):
        raise TypeError("dumps(): incompatible function arguments")
    out = bytearray()
    write(out, value, 0, indefinite, max_depth)
    return bytes(out)


def write(out, value, depth, indefinite, max_depth):
    if value is None:
        out += b"\xf6"
    elif value is True or value is False:
        out += b"\xf5" if value else b"\xf4"
    elif isinstance(value, int):
        out += integer_item(value)
    elif isinstance(value, float):
        out += float_item(float.__float__(value))
    elif isinstance(value, str):
        out += text_item(value)
    elif isinstance(value, bytes):
        data = bytes(memoryview(value))
        out += head(2, len(data)) + data
    elif isinstance(value, (list, tuple, dict)):
        is_dict = isinstance(value, dict)
        base = dict.items if is_dict else list.__iter__ if isinstance(value, list) else tuple.__iter__
        elements = list(base(value))
        major = 5 if is_dict else 4
        out += bytes([major << 5 | 31]) if indefinite else head(major, len(elements))
        for element in elements:
            if max_depth and depth + 1 > max_depth:
                raise RuntimeError(f"Exceeded recursion limit:{max_depth}")
            if depth + 1 > FOLLOWED_DEPTH:
                raise BeyondFollowedDepth()
            for item in element if is_dict else (element,):
                write(out, item, depth + 1, indefinite, max_depth)
        if indefinite:
            out += b"\xff"
    elif is_foreign(value):
        raise RuntimeError(CAST)
    else:
        raise ValueError(f"the model does not cover {type(value).__name__}")
