"""Out of memory inside the codec: each of its allocations, failed in turn,
makes dumps raise MemoryError, hold on to nothing and change no reference
count, and the next call writes the normal bytes again.

Needs a module built with the allocation hooks (VELDSPRAY_ALLOC_FAULTS, as
make sanitize builds it); skipped with any other build.
"""

import ctypes
import sys

import pytest

import veldspray_cbor
from support import objects_in
from veldspray_cbor import dumps


def load_hooks():
    try:
        library = ctypes.CDLL(veldspray_cbor.__file__)
        hooks = {
            name: getattr(library, "veldspray_alloc_faults_" + name) for name in ("arm", "count", "injected", "held")
        }
    except (OSError, AttributeError):
        return None
    hooks["arm"].argtypes = [ctypes.c_int64]
    hooks["arm"].restype = None
    hooks["count"].restype = ctypes.c_int64
    hooks["injected"].restype = ctypes.c_int
    hooks["held"].restype = ctypes.c_int64
    return hooks


HOOKS = load_hooks()
pytestmark = pytest.mark.skipif(HOOKS is None, reason="module built without the allocation hooks")

# Keys with spaces: identifier-like strings are shared with the rest of the
# program, and their reference counts move with it.
TREE = {
    "int list": [0, 23, 24, 255, 256, -1, -25, -257, 2**32, 2**64 - 1, -(2**63)],
    "float list": [0.0, -0.0, 1.5, 65504.0, 100000.0, 2.0**-24, 0.1, 1e300, float("inf"), float("-inf"), float("nan")],
    "text list": ["", "a", "\u00e9\u20ac\U0001f600", "x" * 300],
    "byte list": [b"", b"\x00\xff", bytes(70000)],
    "nested list": [[[]], {}, (1, (2.5, [None])), {"k": {"k": True}}, False],
}

VALUES = {
    "tree": TREE,
    "half": 1.5,
    "single": 100000.0,
    "double": 0.1,
    "text": "veldspray " * 30,
    "bytes": b"\x01" * 300,
}

CONFIGURATIONS = {
    "indefinite": dict(indefinite=True, max_depth=0),
    "indefinite-limited": dict(indefinite=True, max_depth=8),
    "definite": dict(indefinite=False, max_depth=0),
    "definite-limited": dict(indefinite=False, max_depth=8),
}


def is_shared(value):
    """Objects that the interpreter shares (None, bools, small ints, empty and
    one-character strings), whose counts move with any code that runs."""
    if value is None or isinstance(value, bool) or (type(value) is int and -5 <= value <= 256):
        return True
    return isinstance(value, (str, bytes)) and len(value) < 2


@pytest.fixture
def hooks():
    yield HOOKS
    HOOKS["arm"](0)


@pytest.mark.parametrize("configuration", CONFIGURATIONS.values(), ids=CONFIGURATIONS.keys())
@pytest.mark.parametrize("value", VALUES.values(), ids=VALUES.keys())
def test_every_codec_allocation_can_fail(hooks, value, configuration):
    hooks["arm"](0)
    normal = dumps(value, **configuration)
    total = hooks["count"]()
    assert total > 0 and hooks["held"]() == 0

    objects = [item for item in objects_in(value) if not is_shared(item)]
    references = [sys.getrefcount(item) for item in objects]
    for k in range(1, total + 1):
        hooks["arm"](k)
        with pytest.raises(MemoryError):
            dumps(value, **configuration)
        assert hooks["injected"](), f"allocation {k} of {total} was not made"
        assert hooks["held"]() == 0, f"blocks held after failing allocation {k} of {total}"
        hooks["arm"](0)
        assert dumps(value, **configuration) == normal, f"after failing allocation {k} of {total}"
    assert [sys.getrefcount(item) for item in objects] == references

    # One past the last allocation fails nothing.
    hooks["arm"](total + 1)
    assert dumps(value, **configuration) == normal
    assert not hooks["injected"]()
