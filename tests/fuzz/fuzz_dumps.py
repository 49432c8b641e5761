"""Coverage-guided search of dumps from Python, with atheris.

Each input is read as a tree of objects and a call of dumps: built-in values at
their edges, subclasses with methods of their own, objects whose hooks raise,
return the wrong type or change a container being written, shared and
self-containing containers, deep nesting, NumPy scalars, and every shape of
argument list. libFuzzer follows the coverage of the module's native code
(built with -fsanitize=fuzzer-no-link; see make fuzz).

A finding is a crash or sanitizer report, or a call after which:
- dumps raised an exception it may not raise (ALLOWED, passes_through);
- for a tree without hooks, the bytes or error differ from the tests' model of
  the encoding (tests/cbor_model.py);
- the reference count of an object the harness holds has changed.
"""

import functools
import struct
import sys

import atheris
import numpy

import cbor_model
from veldspray_cbor import dumps

# What dumps raises of its own (the README's Errors table).
ALLOWED = (TypeError, RuntimeError, MemoryError, RecursionError)


def passes_through(error):
    """Whether dumps lets this exception, raised by a value's own hook, reach
    the caller as it is."""
    return isinstance(error, (MemoryError, RecursionError)) or not isinstance(error, Exception)


# The end of the RecursionError that repr() of a value nested too deep raises.
DEEP_REPR = "while getting the repr of an object"
U64_MAX = cbor_model.U64_MAX
INTEGERS = [
    *cbor_model.INTEGER_EDGES,
    2**64,
    2**64 + 1,
    2**100,
    -(2**63) - 1,
    -U64_MAX,
    -(2**64),
    -(2**64) - 1,
    10**40,
    -(10**80),
]
FLOATS = [
    0.0,
    -0.0,
    1.5,
    65504.0,
    65505.0,
    2.0**-14,
    2.0**-24,
    2.0**-25,
    2.0**-149,
    5e-324,
    3.4028234663852886e38,
    3.4028235677973366e38,
    1.7976931348623157e308,
    16777217.0,
    0.1,
    float("inf"),
    -float("inf"),
    float("nan"),
    -float("nan"),
    struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0],
]
TEXTS = [
    "",
    "a",
    "\x00",
    "\x7f\x80",
    "\u07ff\u0800",
    "\uffff",
    "\U00010000",
    "\U0001f600",
    "\U0010ffff",
    "\udc80",
    "\ud800",
    "a\udfffb",
    "\ud83d\ude00",
    "é" * 40,
    "€" * 14 + "\U0001f600",
]
KEYWORDS = ["depth", "maxdepth", "", "Value", "value\x00", "\udc80", "max_depth\udc80", "indefinite ", "ïndefinite"]
MAX_DEPTHS = [
    0,
    1,
    2,
    3,
    8,
    300,
    2**63 - 1,
    2**63,
    U64_MAX,
    2**64,
    2**65,
    10**30,
    -1,
    -(2**64),
    True,
    False,
    1.0,
    "3",
    None,
    b"1",
    numpy.uint64(2),
    numpy.int8(-1),
]
FLAGS = [True, False, None, 0, 1, 2.5, "x", b"", [], numpy.bool_(False), numpy.float32(0.0)]


class Raiser:
    """An exception whose own str() raises."""

    def __init__(self, inner):
        self.inner = inner

    def __str__(self):
        raise self.inner


class BadTruth:
    def __bool__(self):
        raise ValueError("\udc80")


MESSAGES = ["boom", "", "\udc80", "\ud800 x \U0001f600", b"\xff\xfe", 42, None, (1, "\udc80"), BadTruth()]
EXCEPTION_TYPES = [
    ValueError,
    TypeError,
    OverflowError,
    UnicodeError,
    Exception,
    KeyboardInterrupt,
    SystemExit,
    GeneratorExit,
    MemoryError,
    RecursionError,
]


class UnprintableError(Exception):
    def __str__(self):
        raise ValueError("\udc80")


# The methods a hook class may define, the defaults each returns when the
# instance has no behaviour for it, and wrong results it may give instead.
HOOKS = {
    "__index__": (lambda self: 3, [1.5, "7", 2**70, -(2**70), None]),
    "__int__": (lambda self: 7, ["7", 2.5, 2**70, None]),
    "__bool__": (lambda self: True, [2, None, "yes"]),
    "__float__": (lambda self: 1.5, ["x", 2]),
    "__eq__": (lambda self, other: NotImplemented, [BadTruth(), "x", None]),
    "__repr__": (lambda self: "Hooked", [5, b"x", None, "\udc80"]),
    "__str__": (lambda self: "hooked", [5, b"x", None, "\udc80"]),
}
# Methods that subclasses of each base override; the encoder reads the stored
# contents and calls none of them, but for those of an int below.
OVERRIDES = {
    int: ["__index__", "__bool__", "__eq__", "__str__", "__repr__"],
    float: ["__float__", "__bool__", "__eq__", "__repr__"],
    str: ["__str__", "__len__", "__iter__", "__eq__", "__repr__"],
    bytes: ["__len__", "__iter__", "__getitem__", "__repr__"],
    list: ["__len__", "__iter__", "__getitem__", "__repr__"],
    tuple: ["__len__", "__iter__", "__repr__"],
    dict: ["__len__", "__iter__", "keys", "items", "__repr__"],
}
# An int subclass's own __eq__ runs in the encoder's equality test, and its
# __str__ (or __repr__, which str() of an int falls back to) in the range
# error: the model does not follow them.
UNMODELLED_INT_HOOKS = {"__eq__", "__str__", "__repr__"}

NUMPY_SCALARS = [
    numpy.int8,
    numpy.uint8,
    numpy.int64,
    numpy.uint64,
    numpy.float16,
    numpy.float32,
    numpy.float64,
    numpy.bool_,
]


class Hooked:
    """A value whose methods behave as its `behaviours` say: return a wrong
    result, raise, or change a container once and then answer normally."""

    def act(self, name, base_method, *args):
        behaviour = self.behaviours.get(name)
        if behaviour is None:
            return base_method(self, *args)
        kind, detail = behaviour
        if kind == "raise":
            self.builder.raised.append(detail)
            raise detail
        if kind == "mutate":
            del self.behaviours[name]
            self.builder.mutated = True
            detail()
            return base_method(self, *args)
        return detail


def hooked_method(name, base):
    fallback = HOOKS[name][0] if base is object else getattr(base, name)

    def method(self, *args):
        return self.act(name, fallback, *args)

    method.__name__ = name
    return method


@functools.cache
def hooked_class(base, names):
    namespace = {name: hooked_method(name, base) for name in names}
    if "__eq__" in names:
        namespace["__hash__"] = base.__hash__
    return type(f"Hooked{base.__name__.title()}", (Hooked, base), namespace)


class Builder:
    """Reads one input as values and arguments, and keeps what the checks need:
    the objects made (for their reference counts), the exceptions hooks raised,
    whether a hook changed a container, and whether the model covers the tree."""

    def __init__(self, data):
        self.data = atheris.FuzzedDataProvider(data)
        self.made = []
        self.containers = []
        self.open = []
        self.raised = []
        self.mutated = False
        self.modelled = True
        self.shares = 0
        self.has_chain = False

    def pick(self, options):
        return options[self.data.ConsumeIntInRange(0, len(options) - 1)]

    def keep(self, value):
        self.made.append(value)
        return value

    def value(self, depth=0):
        if depth > 12 or self.data.remaining_bytes() == 0:
            return self.pick([None, 0, "", 1.5])
        return self.pick(VALUE_MAKERS)(self, depth)

    # ---- scalars ----
    def constant(self, depth):
        return self.pick([None, True, False])

    def integer(self, depth):
        if self.data.ConsumeBool():
            return self.pick(INTEGERS) + self.data.ConsumeIntInRange(-2, 2)
        return self.data.ConsumeInt(self.data.ConsumeIntInRange(1, 10))

    def floating(self, depth):
        if self.data.ConsumeBool():
            return self.pick(FLOATS)
        return struct.unpack(">d", self.data.ConsumeBytes(8).ljust(8, b"\0"))[0]

    def text(self, depth):
        if self.data.ConsumeBool():
            return self.pick(TEXTS)
        return self.data.ConsumeUnicode(self.data.ConsumeIntInRange(0, 24))

    def blob(self, depth):
        return self.data.ConsumeBytes(self.data.ConsumeIntInRange(0, 24))

    def numpy_scalar(self, depth):
        self.modelled = False
        kind = self.pick(NUMPY_SCALARS)
        raw = self.data.ConsumeInt(8)
        if kind is numpy.bool_:
            return kind(raw % 2)  # one of two shared objects: its count is not ours
        return self.keep(numpy.int64(raw).astype(kind))

    def foreign(self, depth):
        return self.keep(
            self.pick([lambda: {1, 2}, frozenset, lambda: bytearray(b"x"), lambda: memoryview(b"ab"), object])()
        )

    # ---- containers ----
    def sequence(self, depth, kind=list):
        items = kind()
        self.keep(items)
        self.containers.append(items)
        self.open.append(items)
        for _ in range(self.data.ConsumeIntInRange(0, 6)):
            items.append(self.value(depth + 1))
        self.open.pop()
        return items

    def array(self, depth):
        return self.sequence(depth)

    def tuple_of(self, depth):
        items = tuple(self.sequence(depth))
        self.containers.append(items)
        return self.keep(items) if items else items

    def mapping(self, depth, kind=dict):
        entries = kind()
        self.keep(entries)
        self.containers.append(entries)
        self.open.append(entries)
        for _ in range(self.data.ConsumeIntInRange(0, 5)):
            key = self.value(depth + 1)
            try:
                dict.__setitem__(entries, key, self.value(depth + 1))
            except BaseException:  # an unhashable key, or a key's own __eq__ raised
                pass
        self.open.pop()
        return entries

    # Sharing multiplies what is written, and a container that holds itself
    # repeats its contents down to the depth limit. The output buffer grows to
    # the exact size on every append, and the sanitizer's realloc copies it
    # each time: to keep each call short, a tree holds at most two shared
    # references, and none beside a deep chain.
    def shared(self, depth):
        if not self.containers or self.shares == 2 or self.has_chain:
            return None
        self.shares += 1
        return self.pick(self.open if self.open and self.data.ConsumeBool() else self.containers)

    def deep(self, depth):
        """A chain of containers past the recursion limit (1000) or not."""
        if self.shares or self.has_chain:
            return None
        self.has_chain = True
        levels = self.data.ConsumeIntInRange(0, 1500)
        shape = self.data.ConsumeIntInRange(0, 2)
        value = self.value(12)
        for _ in range(levels):
            value = [value] if shape == 0 else (value,) if shape == 1 else {"k": value}
        return value

    # ---- subclasses and hooks ----
    def behaviour(self, name):
        kind = self.data.ConsumeIntInRange(0, 3)
        if kind == 0:
            return None
        if kind == 1:
            return "return", self.pick(HOOKS[name][1] if name in HOOKS else [None, 5])
        if kind == 2:
            if self.data.ConsumeIntInRange(0, 8) == 0:
                return "raise", UnprintableError()
            return "raise", self.pick(EXCEPTION_TYPES)(self.pick(MESSAGES))
        return ("mutate", self.mutation(self.pick(self.open))) if self.open else None

    def mutation(self, target):
        """A change to a list or dict that is being built, so that it is written
        around the hook too."""
        if isinstance(target, list):
            return functools.partial(
                self.pick(
                    [
                        list.clear,
                        list.pop,
                        lambda c: c.extend(range(100)),
                        lambda c: c.__setitem__(slice(None), ["x", None]),
                    ]
                ),
                target,
            )
        return functools.partial(
            self.pick(
                [
                    dict.clear,
                    lambda d: d.update(dict.fromkeys(range(50))),
                    lambda d: d.pop(next(iter(d)), None) if d else None,
                    lambda d: d.__setitem__("late", 1),
                ]
            ),
            target,
        )

    def hooked(self, base, names, make):
        cls = hooked_class(base, tuple(sorted(names)))
        value = make(cls)
        value.builder = self
        value.behaviours = {}
        for name in sorted(names):  # in a fixed order, so that an input always reads alike
            behaviour = self.behaviour(name)
            if behaviour is not None:
                value.behaviours[name] = behaviour
        return self.keep(value)

    def hook_object(self, depth):
        self.modelled = False
        names = {self.pick(list(HOOKS)) for _ in range(self.data.ConsumeIntInRange(1, 3))}
        return self.hooked(object, names, lambda cls: cls())

    def subclass(self, depth):
        base = self.pick(list(OVERRIDES))
        names = {self.pick(OVERRIDES[base]) for _ in range(self.data.ConsumeIntInRange(0, 2))}
        if base is int and names & UNMODELLED_INT_HOOKS:
            self.modelled = False
        if base in (list, dict):
            value = self.hooked(base, names, lambda cls: cls())
            self.containers.append(value)
            self.open.append(value)
            for _ in range(self.data.ConsumeIntInRange(0, 4)):
                if base is list:
                    list.append(value, self.value(depth + 1))
                else:
                    dict.__setitem__(value, self.text(depth), self.value(depth + 1))
            self.open.pop()
            return value
        if base is tuple:
            items = [self.value(depth + 1) for _ in range(self.data.ConsumeIntInRange(0, 4))]
            return self.hooked(base, names, lambda cls: cls(items))
        stored = {int: self.integer, float: self.floating, str: self.text, bytes: self.blob}[base](depth)
        return self.hooked(base, names, lambda cls: cls(stored))

    # ---- the call ----
    def flag(self):
        if self.data.ConsumeIntInRange(0, 5) == 0:
            return self.hook_object(0)
        return self.pick(FLAGS[:2] * 4 + FLAGS)

    def depth_limit(self):
        choice = self.data.ConsumeIntInRange(0, 7)
        if choice == 0:
            return self.hook_object(0)
        if choice <= 2:
            return self.data.ConsumeIntInRange(0, 40)
        return self.pick(MAX_DEPTHS)

    def call(self, value):
        """Positional and keyword arguments, in any shape: too many, unknown,
        duplicated, missing, of the wrong type."""
        given = [value, self.flag(), self.depth_limit(), self.value(11)]
        positional = given[: self.data.ConsumeIntInRange(0, 4)]
        keywords = {}
        for index, name in enumerate(("value", "indefinite", "max_depth")):
            if self.data.ConsumeIntInRange(0, 3) == 0 or (index == 0 and not positional):
                keywords[name] = given[index] if index >= len(positional) or self.data.ConsumeBool() else self.value(11)
        if self.data.ConsumeIntInRange(0, 7) == 0:
            keywords[self.pick(KEYWORDS)] = 1
        if self.data.ConsumeBool():
            keywords = dict(reversed(keywords.items()))
        return positional, keywords


VALUE_MAKERS = [
    Builder.constant,
    Builder.integer,
    Builder.integer,
    Builder.floating,
    Builder.text,
    Builder.blob,
    Builder.array,
    Builder.array,
    Builder.tuple_of,
    Builder.mapping,
    Builder.mapping,
    Builder.shared,
    Builder.deep,
    Builder.subclass,
    Builder.subclass,
    Builder.hook_object,
    Builder.numpy_scalar,
    Builder.foreign,
]


def binding(positional, keywords):
    """The arguments by name when the call fits dumps(value, indefinite, max_depth), else None."""
    names = ("value", "indefinite", "max_depth")
    if len(positional) > 3 or any(name not in names for name in keywords):
        return None
    bound = dict(zip(names, positional, strict=False))
    if any(name in bound for name in keywords) or "value" not in {**bound, **keywords}:
        return None
    return {**bound, **keywords}


def expected_outcome(builder, positional, keywords):
    """What the model says the call gives: ("bytes", data) or (exception types,
    text or None); None where the model does not decide."""
    arguments = binding(positional, keywords)
    if arguments is None:
        return TypeError, None
    indefinite = arguments.get("indefinite", True)
    max_depth = arguments.get("max_depth", 0)
    if (
        not builder.modelled
        or indefinite not in (True, False)
        or type(indefinite) is not bool
        or type(max_depth) is not int
        or not 0 <= max_depth <= U64_MAX
    ):
        return None
    try:
        return "bytes", cbor_model.dumps(arguments["value"], indefinite, max_depth)
    except cbor_model.BeyondFollowedDepth:
        return None
    except (TypeError, RuntimeError) as error:
        return type(error), None if isinstance(error, TypeError) else str(error)


def text_of(error):
    try:
        return str(error)
    except BaseException:  # the exception's own text fails
        return "<unprintable>"


def run(positional, keywords):
    try:
        return "bytes", dumps(*positional, **keywords), None
    except BaseException as error:  # every outcome is checked below
        return type(error), text_of(error), error


def check(data):
    builder = Builder(data)
    value = builder.value()
    positional, keywords = builder.call(value)
    expected = expected_outcome(builder, positional, keywords)
    counts = [sys.getrefcount(item) for item in builder.made]

    kind, detail, error = run(positional, keywords)
    passed_through = passes_through(error) and any(error is raised for raised in builder.raised)
    del error
    if kind == "bytes":
        assert type(detail) is bytes, f"dumps returned {type(detail).__name__}"
    else:
        assert issubclass(kind, ALLOWED) or passed_through, f"dumps raised {kind.__name__}: {detail}"
    if expected is not None and not passed_through:
        wanted, wanted_detail = expected
        if wanted is TypeError and kind is RecursionError and detail.endswith(DEEP_REPR):
            wanted = RecursionError  # the argument error's text needs the repr of an argument nested too deep
        assert kind == wanted if wanted == "bytes" else kind != "bytes" and issubclass(kind, wanted), (
            f"dumps gave {kind!r}: {detail!r}, the model {wanted!r}: {wanted_detail!r}"
        )
        assert wanted_detail is None or detail == wanted_detail, f"dumps gave {detail!r}, the model {wanted_detail!r}"

    for raised in builder.raised:  # their tracebacks hold the hooks' frames
        raised.__traceback__ = raised.__context__ = None
    if not builder.mutated:
        after = [sys.getrefcount(item) for item in builder.made]
        changed = [
            (type(item).__name__, before, now)
            for item, before, now in zip(builder.made, counts, after, strict=True)
            if now != before
        ]
        assert not changed, f"reference counts changed (type, before, after): {changed}"


def main():
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
