"""The nesting limit of max_depth, and what happens without one."""

import pytest

from veldspray_cbor import dumps


@pytest.mark.parametrize(
    "max_depth, value, expected",
    [
        (1, 5, "05"),
        (1, [1, 2], "9f0102ff"),
        (1, {"a": 1}, "bf616101ff"),
        (1, [[]], "9f9fffff"),
        (1, [{}], "9fbfffff"),
        (1, [[1]], None),
        (1, {"a": [1]}, None),
        (1, [[[1]]], None),
        (2, [[1]], "9f9f01ffff"),
        (2, [[[]]], "9f9f9fffffff"),
        (2, [[[1]]], None),
        (2, ({"a": [1]},), None),
        (3, [(1, {"k": 2})], "9f9f01bf616b02ffffff"),
        (1, list(range(1000)), "9f" + bytes(range(24)).hex()),
        (1, {f"{n}": n for n in range(1000)}, "bf"),
    ],
)
@pytest.mark.parametrize("indefinite", [True, False])
def test_depth_limit(max_depth, value, expected, indefinite):
    if expected is None:
        with pytest.raises(RuntimeError) as caught:
            dumps(value, indefinite=indefinite, max_depth=max_depth)
        assert str(caught.value) == f"Exceeded recursion limit:{max_depth}"
    elif indefinite:
        assert dumps(value, max_depth=max_depth).hex().startswith(expected)
    else:
        assert dumps(value, indefinite=False, max_depth=max_depth) == dumps(value, indefinite=False)


def test_depth_error_comes_before_classifying_the_element():
    with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:1$"):
        dumps([[object()]], max_depth=1)


def test_self_containing_list_with_a_limit_names_the_limit():
    looped = [1]
    looped.append(looped)
    with pytest.raises(RuntimeError, match=r"^Exceeded recursion limit:10$"):
        dumps(looped, max_depth=10)


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("max_depth", [0, 2**64 - 1])
def test_self_containing_list_raises_recursion_error(indefinite, max_depth):
    looped = []
    looped.append(looped)
    with pytest.raises(RecursionError):
        dumps(looped, indefinite=indefinite, max_depth=max_depth)


def test_a_failed_call_leaves_nothing_behind():
    with pytest.raises(RuntimeError):
        dumps([[1]], max_depth=1)
    assert dumps([[1]], max_depth=2).hex() == "9f9f01ffff"
