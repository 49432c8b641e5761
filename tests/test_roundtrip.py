"""Random object trees written by dumps and read back by an independent decoder.

Every tree is written in all four configurations. Each output must decode (with
cbor2) to the input, and must be byte for byte what the tests' own model of the
encoding (cbor_model) writes: its heads, lengths and float widths.
"""

import math
import struct

import cbor2
import pytest
from hypothesis import given
from hypothesis import strategies as st

import cbor_model
from cbor_model import U64_MAX
from veldspray_cbor import dumps

CONFIGURATIONS = [(True, 0), (True, U64_MAX), (False, 0), (False, U64_MAX)]


# Subclasses are written from their stored contents, like their bases.
ListSub, TupleSub, DictSub, StrSub, BytesSub, FloatSub, IntSub = (
    type(base.__name__.title() + "Sub", (base,), {}) for base in (list, tuple, dict, str, bytes, float, int)
)

INT_EDGES = cbor_model.INTEGER_EDGES
FLOAT_EDGES = [
    0.0,
    -0.0,
    1.0,
    65504.0,
    -65504.0,
    65505.0,
    65536.0,
    2.0**-14,
    2.0**-24,
    1023 * 2.0**-24,
    2.0**-25,
    2.0**-126,
    2.0**-149,
    3.4028234663852886e38,
    3.4028235677973366e38,
    16777217.0,
    5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0],
]
TEXT_CHARS = st.one_of(
    st.characters(codec="utf-8"), st.sampled_from("\x00\x7f\x80\u07ff\u0800\uffff\U00010000\U0001f600\U0010ffff")
)

ints = st.one_of(st.integers(-(2**63), U64_MAX), st.sampled_from(INT_EDGES))
floats = st.one_of(st.floats(), st.floats(width=16), st.floats(width=32), st.sampled_from(FLOAT_EDGES))
texts = st.text(TEXT_CHARS, max_size=12)
blobs = st.binary(max_size=12)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    ints,
    floats,
    texts,
    blobs,
    ints.map(IntSub),
    floats.map(FloatSub),
    texts.map(StrSub),
    blobs.map(BytesSub),
)
keys = st.recursive(
    st.one_of(st.none(), ints, texts, blobs), lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=4
)


def containers(children):
    sequences = st.lists(children, max_size=5)
    mappings = st.lists(st.tuples(keys, children), max_size=5)
    return st.one_of(
        sequences,
        sequences.map(ListSub),
        sequences.map(tuple),
        sequences.map(TupleSub),
        mappings.map(dict),
        mappings.map(DictSub),
    )


trees = st.recursive(scalars, containers, max_leaves=40)


def expected(value, as_key=False):
    """The value cbor2 should read back: base types, tuples as lists (as tuples in keys)."""
    if isinstance(value, bool) or value is None:
        return value
    for base in (int, float, str, bytes):
        if isinstance(value, base):
            return base.__new__(base, value) if base is not bytes else bytes(memoryview(value))
    if isinstance(value, dict):
        return {expected(k, True): expected(v) for k, v in dict.items(value)}
    items = [expected(item, as_key) for item in value]
    return tuple(items) if as_key else items


def assert_same(actual, wanted):
    assert type(actual) is type(wanted), (actual, wanted)
    if isinstance(wanted, float):
        assert (math.isnan(actual) and math.isnan(wanted)) or (
            actual == wanted and math.copysign(1, actual) == math.copysign(1, wanted)
        ), (actual, wanted)
    elif isinstance(wanted, dict):
        assert len(actual) == len(wanted)
        for (ak, av), (wk, wv) in zip(actual.items(), wanted.items(), strict=True):  # order kept too
            assert_same(ak, wk)
            assert_same(av, wv)
    elif isinstance(wanted, (list, tuple)):
        assert len(actual) == len(wanted)
        for a, w in zip(actual, wanted, strict=True):
            assert_same(a, w)
    else:
        assert actual == wanted


def nesting(value):
    """The smallest max_depth that writes the value: elements count one level each."""
    if isinstance(value, dict):
        return max((1 + max(nesting(k), nesting(v)) for k, v in dict.items(value)), default=0)
    if isinstance(value, (list, tuple)):
        return max((1 + nesting(item) for item in value), default=0)
    return 0


@given(trees)
def test_every_configuration_reads_back_as_the_input(value):
    wanted = expected(value)
    outputs = {config: dumps(value, *config) for config in CONFIGURATIONS}
    for config, data in outputs.items():
        assert_same(cbor2.loads(data), wanted)
        assert data == cbor_model.dumps(value, *config)
    # The depth limit changes nothing for a value within it.
    assert outputs[True, 0] == outputs[True, U64_MAX]
    assert outputs[False, 0] == outputs[False, U64_MAX]


@given(trees)
def test_depth_limit_is_the_exact_nesting(value):
    depth = nesting(value)
    for indefinite in (True, False):
        reference = dumps(value, indefinite)
        assert dumps(value, indefinite, max(depth, 1)) == reference
        if depth > 1:
            with pytest.raises(RuntimeError, match=f"^Exceeded recursion limit:{depth - 1}$"):
                dumps(value, indefinite, depth - 1)


@given(ints)
def test_integers_read_back_exactly(n):
    for value in (n, IntSub(n)):
        data = dumps(value)
        assert cbor2.loads(data) == n
        # Shortest head: the argument takes 0, 1, 2, 4 or 8 bytes.
        magnitude = n if n >= 0 else -1 - n
        argument = 0 if magnitude < 24 else next(size for size in (1, 2, 4, 8) if magnitude < 2 ** (8 * size))
        assert len(data) == 1 + argument
