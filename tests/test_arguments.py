"""How dumps takes its three arguments, and how it refuses them."""

import pytest

from veldspray_cbor import dumps

SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes"
)
MISMATCH = (
    "dumps(): incompatible function arguments. The following argument types are supported:\n"
    "    1. " + SIGNATURE + "\n\nInvoked with: "
)


class Truthy:
    def __bool__(self):
        return True


class IndexThree:
    def __index__(self):
        return 3


class IntThree:
    def __int__(self):
        return 3


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (([],), {}, "9fff"),
        (([],), {"indefinite": False}, "80"),
        (([], False), {}, "80"),
        ((), {"value": [1, 2]}, "9f0102ff"),
        (([1, 2],), {"indefinite": False, "max_depth": 1}, "820102"),
        (([], None), {}, "80"),
        (([], 0), {}, "80"),
        (([], 2.5), {}, "9fff"),
        (([], Truthy()), {}, "9fff"),
        ((None,), {}, "f6"),
        ((5,), {"max_depth": 1}, "05"),
        (([[1]],), {"max_depth": True}, None),
        (([[1]],), {"max_depth": 2**64 - 1}, "9f9f01ffff"),
        (([[1]],), {"max_depth": IndexThree()}, "9f9f01ffff"),
        (([[1]],), {"max_depth": IntThree()}, "9f9f01ffff"),
    ],
)
def test_accepted_arguments(args, kwargs, expected):
    if expected is None:
        with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:1$"):
            dumps(*args, **kwargs)
    else:
        assert dumps(*args, **kwargs).hex() == expected


@pytest.mark.parametrize(
    "args, kwargs, invoked_with",
    [
        ((), {}, ""),
        ((1, True, 0, 0), {}, "1, True, 0, 0"),
        ((1,), {"depth": 3}, "1; kwargs: depth=3"),
        ((1,), {"value": 1}, "1; kwargs: value=1"),
        (({1, 2},), {}, "{1, 2}"),
        (([],), {"indefinite": "x"}, "[]; kwargs: indefinite='x'"),
        (([],), {"indefinite": []}, "[]; kwargs: indefinite=[]"),
        (([],), {"max_depth": -1}, "[]; kwargs: max_depth=-1"),
        (([],), {"max_depth": 2**64}, "[]; kwargs: max_depth=18446744073709551616"),
        (([],), {"max_depth": 1.0}, "[]; kwargs: max_depth=1.0"),
        (([],), {"max_depth": None}, "[]; kwargs: max_depth=None"),
        (([],), {"max_depth": "3"}, "[]; kwargs: max_depth='3'"),
        ((bytearray(b"x"),), {}, "bytearray(b'x')"),
        ((frozenset(),), {}, "frozenset()"),
    ],
)
def test_refused_arguments_raise_type_error(args, kwargs, invoked_with):
    with pytest.raises(TypeError) as caught:
        dumps(*args, **kwargs)
    assert str(caught.value) == MISMATCH + invoked_with


def test_a_repr_that_raises_does_not_hide_the_type_error():
    class BadRepr:
        def __repr__(self):
            raise ValueError("no repr")

    with pytest.raises(TypeError, match="<repr raised Error>"):
        dumps(BadRepr())
