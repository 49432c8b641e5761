"""What each kind of value is written as, in both length modes."""

import collections
import enum
import warnings

import numpy
import pytest

from veldspray_cbor import dumps

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"


class IntList(list):
    def __iter__(self):
        raise AssertionError("the list's own storage is read, not its __iter__")

    def __len__(self):
        raise AssertionError("the list's own storage is read, not its __len__")


class Shouting(str):
    def __str__(self):
        raise AssertionError("the str's own text is written")


class Wrapped(bytes):
    def __bytes__(self):
        raise AssertionError("the bytes' own contents are written")


class Half(float):
    def __float__(self):
        raise AssertionError("the float's stored value is written")


class Items(dict):
    def items(self):
        raise AssertionError("the dict's own storage is read")

    def keys(self):
        raise AssertionError("the dict's own storage is read")

    def __iter__(self):
        raise AssertionError("the dict's own storage is read")


class Colour(enum.IntEnum):
    RED = 1
    BLUE = 300


class OnlyBool:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class OnlyIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexAndBool(OnlyIndex):
    def __bool__(self):
        return True


class OnlyInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class OnlyFloat:
    def __float__(self):
        return 1.5


def index_and_bool_type(name):
    """A type with both __index__ and __bool__: NumPy's bool type is known by
    its name (numpy.bool_ up to NumPy 1.x, numpy.bool from NumPy 2) and taken
    by its truth value before any integer conversion."""
    return type(name, (), {"__index__": lambda self: 5, "__bool__": lambda self: True})


NumpyBool = index_and_bool_type("numpy.bool_")
Numpy2Bool = index_and_bool_type("numpy.bool")
LookAlike = index_and_bool_type("numpy.boolean")


def moved_to_end():
    ordered = collections.OrderedDict(a=1, b=2)
    ordered.move_to_end("a")
    return ordered


Point = collections.namedtuple("Point", "x y")

# (value, definite hex, indefinite hex)
WORKED_EXAMPLES = [
    ([1, [2, 3]], "8201820203", "9f019f0203ffff"),
    ((True, False, None), "83f5f4f6", "9ff5f4f6ff"),
    ({"a": b"xy", "b": None}, "a2616142787961 62f6", "bf616142787961 62f6ff"),
    ([], "80", "9fff"),
    ({}, "a0", "bfff"),
    ("", "60", "60"),
    (b"", "40", "40"),
    ("\u00e9", "62c3a9", "62c3a9"),
    ({(1, 2): []}, "a182010280", "bf9f0102ff9fffff"),
    ({"a": [1, 2.5]}, "a161618201f94100", "bf61619f01f94100ffff"),
    ({None: 1, 2: "x"}, "a2f6010261 78", "bff6010261 78ff"),
    (b"a\x00b", "43610062", "43610062"),
    ("a\x00b", "63610062", "63610062"),
    ("\U0001f600", "64f09f9880", "64f09f9880"),
    (b"\xff" * 24, "5818" + "ff" * 24, "5818" + "ff" * 24),
    ("x" * 256, "790100" + "78" * 256, "790100" + "78" * 256),
    (list(range(24)), "9818" + bytes(range(24)).hex(), "9f" + bytes(range(24)).hex() + "ff"),
]


@pytest.mark.parametrize("value, definite, indefinite", WORKED_EXAMPLES)
@pytest.mark.parametrize("max_depth", [0, 2**64 - 1])
def test_worked_examples(value, definite, indefinite, max_depth):
    assert dumps(value, indefinite=False, max_depth=max_depth).hex() == definite.replace(" ", "")
    assert dumps(value, indefinite=True, max_depth=max_depth).hex() == indefinite.replace(" ", "")


# (value, definite hex): classification of objects of every sort.
CLASSIFIED = [
    (True, "f5"),
    (False, "f4"),
    (None, "f6"),
    (IntList([1, 2]), "820102"),
    (Point(1, 2), "820102"),
    (Shouting("hi"), "626869"),
    (Wrapped(b"hi"), "426869"),
    (Half(0.5), "f93800"),
    (Items(a=1), "a1616101"),
    (moved_to_end(), "a2616101616202"),
    (Colour.RED, "01"),
    (Colour.BLUE, "19012c"),
    (complex(1, 0), "f5"),
    (complex(0, 0), "f4"),
    (OnlyBool(True), "f5"),
    (OnlyBool(False), "f4"),
    (OnlyIndex(5), "05"),
    (OnlyIndex(-5), "24"),
    (OnlyIndex(2**63), "1b8000000000000000"),
    (IndexAndBool(2**70), "f5"),
    (OnlyInt(7), "07"),
    (OnlyInt(-5), "24"),
    (OnlyInt(2**64 - 1), "1bffffffffffffffff"),
    (OnlyInt(-(2**63)), "3b7fffffffffffffff"),
    (NumpyBool(), "f5"),
    (Numpy2Bool(), "f5"),
    (LookAlike(), "05"),
    (numpy.True_, "f5"),
    (numpy.False_, "f4"),
]


@pytest.mark.parametrize("value, expected", CLASSIFIED)
def test_classification_at_top_level_and_nested(value, expected):
    # Whatever the warning filters: a value's deprecation warning (NumPy 2's
    # bool.__index__) must be neither raised nor allowed to decide the kind.
    with warnings.catch_warnings(record=True) as raised:
        warnings.simplefilter("always")
        assert dumps(value, indefinite=False).hex() == expected
        assert dumps([value], indefinite=False).hex() == "81" + expected
    assert raised == []


UNCLASSIFIABLE = [
    bytearray(b"x"),
    memoryview(b"x"),
    {1, 2},
    frozenset(),
    OnlyFloat(),
    object(),
    OnlyInt(2**64),
    OnlyIndex(2**70),
    OnlyBool("yes"),
    type,
]


@pytest.mark.parametrize("value", UNCLASSIFIABLE)
@pytest.mark.parametrize("indefinite", [True, False])
def test_nested_value_of_no_kind_raises_the_cast_error(value, indefinite):
    for container in ([value], (1, value), {"k": value}, {"k": [value]}):
        with pytest.raises(RuntimeError) as caught:
            dumps(container, indefinite=indefinite)
        assert str(caught.value) == CAST_ERROR
        assert caught.value.__cause__ is None


def test_unhashable_kinds_as_dict_keys_are_impossible_but_tuple_keys_are_arrays():
    assert dumps({(1, (2,)): 0}, indefinite=False).hex() == "a18201810200"


@pytest.mark.parametrize("value", ["\ud800", ["ok", "\udfff"], {"\ud83d": 1}, Shouting("\ud800")])
def test_text_without_a_utf8_form_raises_the_cast_error(value):
    with pytest.raises(RuntimeError) as caught:
        dumps(value)
    assert str(caught.value) == CAST_ERROR


def test_classification_errors_raised_by_the_value_are_swallowed():
    class Failing:
        def __bool__(self):
            raise ValueError("bool")

        def __index__(self):
            raise ValueError("index")

        def __int__(self):
            raise ValueError("int")

    with pytest.raises(RuntimeError, match="Unable to cast"):
        dumps([Failing()])


def test_every_call_returns_a_fresh_nonempty_bytes_object():
    first = dumps([1, "a"])
    assert type(first) is bytes and first == dumps([1, "a"])
    assert dumps(b"").hex() == "40"
