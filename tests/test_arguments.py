"""How dumps takes its three arguments, and how it refuses them: with the
binding layer's own matching, conversions and error text, which no argument
can make fail."""

import pytest

from veldspray_cbor import dumps

RPC = {"jsonrpc": "2.0", "id": 4711, "method": "get", "params": [1, "x", True, None, 2.5]}
RPC_HEX = "bf676a736f6e72706363322e30626964191267666d6574686f646367657466706172616d739f016178f5f6f94100ffff"

SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes"
)
BAD = "<repr raised Error>"
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


def repr_gives(result):
    """An object whose __repr__ raises result, or returns it."""

    def method(self):
        if isinstance(result, BaseException):
            raise result
        return result

    return type("Repr", (), {"__repr__": method})()


class StrRaises:
    def __str__(self):
        raise ValueError("no str")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (([],), {}, "9fff"),
        (([],), {"indefinite": False}, "80"),
        (([], False), {}, "80"),
        (([],), {"".join(["indef", "inite"]): False}, "80"),  # a keyword name that is not interned
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
        ((5,), {}, "05"),
        ((5, False), {}, "05"),
        (({"a": 1},), {"indefinite": False}, "a1616101"),
        (({"a": 1},), {"max_depth": 8}, "bf616101ff"),
        ((), {"value": {"a": 1}}, "bf616101ff"),
        ((), {"max_depth": 0, "indefinite": True, "value": RPC}, RPC_HEX),
        ((RPC, True, 2), {}, RPC_HEX),
        (([[1]], True), {"max_depth": 1}, None),
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
        ((), {"indefinite": False}, "kwargs: indefinite=False"),
        (([],), {"max_depth": 1, "maxdepth": 1}, "[]; kwargs: max_depth=1, maxdepth=1"),
        ((1,), {"\udc80": 1}, "1; kwargs: \\udc80=1"),
        ((1,), {"max_depth": 1, "indefinite": repr_gives(ValueError())}, "1; kwargs: max_depth=1, indefinite=" + BAD),
        ((repr_gives(ValueError("no repr")),), {}, BAD),
        ((repr_gives(ValueError("\udc80")),), {"indefinite": True}, BAD + "; kwargs: indefinite=True"),
        ((repr_gives(ValueError("\udc80")),), {"max_depth": 0}, BAD + "; kwargs: max_depth=0"),
        (
            (1,),
            {"indefinite": repr_gives(ValueError("\udc80")), "max_depth": 1},
            f"1; kwargs: indefinite={BAD}, max_depth=1",
        ),
        ((repr_gives(ValueError(StrRaises())), 2.5), {"x": 1}, BAD + ", 2.5; kwargs: x=1"),
        ((repr_gives(7),), {}, BAD),
        ((repr_gives("\ud800"),), {}, BAD),
        ((repr_gives("a\x00b"), 1, 2, 3), {}, "a\x00b, 1, 2, 3"),
    ],
)
def test_refused_arguments_raise_type_error(args, kwargs, invoked_with):
    with pytest.raises(TypeError) as caught:
        dumps(*args, **kwargs)
    assert str(caught.value) == MISMATCH + invoked_with
    assert caught.value.__cause__ is None and caught.value.__context__ is None


def test_each_argument_s_own_code_runs_once_and_in_order():
    calls = []

    class Index:
        def __index__(self):
            calls.append("index")
            return 3

    class Falsy:
        def __bool__(self):
            calls.append("bool")
            return False

    assert dumps(Index(), Falsy(), Index()).hex() == "03"
    assert calls == ["index", "bool", "index"]
