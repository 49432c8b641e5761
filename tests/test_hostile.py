"""Values whose own Python code fights the encoder, and input nested past every
stack. Each case runs in a forked child, so a crash or a hang fails the test
instead of taking pytest down; the child reports the bytes or the exception.
"""

import asyncio
import copy
import gc
import os
import pickle
import re
import select
import signal
import struct
import sys
import threading
import time

import cbor2
import pytest

from checked_build import UNDER_SANITIZER
from support import main_stack_size, unwritable_depth, writable_depth
from veldspray_cbor import dumps

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="each case runs in a forked child")

U64_MAX = 2**64 - 1
CONFIGURATIONS = [(True, 0), (True, U64_MAX), (False, 0), (False, U64_MAX)]


class Fails:
    """An expected exception: its type name and a pattern for its message."""

    def __init__(self, name, pattern):
        self.name, self.pattern = name, pattern

    def __add__(self, more):
        return Fails(self.name, self.pattern + more)


CAST = Fails("RuntimeError", "^Unable to cast Python instance to C\\+\\+ type")
RANGE = Fails("RuntimeError", "^dumps received an integer out of range for both int64_t and uint64_t")
LIST_CHANGED = Fails("RuntimeError", "^list changed size during dumps$")
DICT_CHANGED = Fails("RuntimeError", "^dict changed( size)? during dumps$")
DEEP = Fails("RecursionError", "^maximum recursion depth exceeded")
ARGUMENT = Fails("TypeError", "^dumps\\(\\): incompatible function arguments")


def in_child(task, timeout=60):
    """Runs task() in a forked child and returns what it returned."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        os.close(read_end)
        try:
            payload = pickle.dumps(("ok", task()))
        except BaseException as error:  # the task itself failed: report it, don't run pytest's code
            payload = pickle.dumps(("error", f"{type(error).__name__}: {error}"))
        with os.fdopen(write_end, "wb") as pipe:
            pipe.write(payload)
        os._exit(0)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + timeout
    with os.fdopen(read_end, "rb") as pipe:
        while select.select([pipe], [], [], max(0.0, deadline - time.monotonic()))[0]:
            chunk = os.read(pipe.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
        else:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail(f"child still running after {timeout} s")
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        pytest.fail(f"child ended by signal {os.WTERMSIG(status)}")
    kind, result = pickle.loads(b"".join(chunks))
    assert kind == "ok", result
    return result


def outcome(call):
    try:
        return ("bytes", call())
    except BaseException as error:
        return (type(error).__name__, str(error))


def check(result, expected):
    """expected is the value that the bytes decode to, or Fails."""
    kind, detail = result
    if isinstance(expected, Fails):
        assert kind == expected.name and re.search(expected.pattern, detail), result
    else:
        assert kind == "bytes", result
        assert cbor2.loads(detail) == expected


# ---- Objects whose methods run a hook once, then answer ----


class Hooked:
    hook = None

    def fire(self):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()


class Index(Hooked):
    def __init__(self, value):
        self.value = value

    def __index__(self):
        self.fire()
        return self.value


class Truth(Index):
    __index__ = None

    def __bool__(self):
        self.fire()
        return self.value


class IntOnly(Index):
    __index__ = None

    def __int__(self):
        self.fire()
        return self.value


class EqInt(Hooked, int):
    def __eq__(self, other):
        self.fire()
        return int.__eq__(self, other)

    __hash__ = int.__hash__


class StrInt(Hooked, int):
    def __str__(self):
        self.fire()
        return "big"


NumpyBool = type("numpy.bool_", (Truth,), {})

MUTATIONS = [
    # id, element, container built around it, what its hook does to the container, expected
    ("index clears list", Index(5), lambda x: [x, "a"], list.clear, LIST_CHANGED),
    ("index grows list", Index(5), lambda x: [x], lambda c: c.extend(range(1000)), LIST_CHANGED),
    (
        "index swaps list contents",
        Index(5),
        lambda x: [x, "a"],
        lambda c: c.__setitem__(slice(None), ["b", "c"]),
        [5, "c"],
    ),
    ("index drops a sibling", Index(5), lambda x: [x, ["only", "here"]], lambda c: c.__setitem__(1, None), [5, None]),
    ("bool clears list", Truth(True), lambda x: [x, [1, 2]], list.clear, LIST_CHANGED),
    ("numpy-named bool clears list", NumpyBool(False), lambda x: [x, [1, 2]], list.clear, LIST_CHANGED),
    ("int clears list", IntOnly(7), lambda x: [x, [1, 2]], list.clear, LIST_CHANGED),
    ("tuple element clears the list holding it", Index(5), lambda x: [(x, ["a"]), "b"], list.clear, LIST_CHANGED),
    ("int subclass eq clears list", EqInt(7), lambda x: [x, ["a"]], list.clear, LIST_CHANGED),
    ("out-of-range str clears list", StrInt(2**64), lambda x: [x, ["a"]], list.clear, RANGE),
    ("key index deletes a later entry", Index(1), lambda x: {x: [1, 2], "b": [3]}, lambda d: d.pop("b"), DICT_CHANGED),
    ("key bool clears dict", Truth(True), lambda x: {x: [1], "b": 2}, dict.clear, DICT_CHANGED),
    ("key eq deletes a later entry", EqInt(7), lambda x: {x: [1], "b": 2}, lambda d: d.pop("b"), DICT_CHANGED),
    ("value eq clears dict", EqInt(7), lambda x: {"a": x, "b": [3]}, dict.clear, DICT_CHANGED),
    (
        "value reinserts its key",
        Truth(True),
        lambda x: {"a": x, "b": 2},
        lambda d: d.__setitem__("a", d.pop("a")),
        DICT_CHANGED,
    ),
    (
        "value replaces a later value",
        Truth(True),
        lambda x: {"a": x, "b": 2},
        lambda d: d.__setitem__("b", "new"),
        {"a": True, "b": "new"},
    ),
    (
        "value swaps a later key for a new one",
        Truth(True),
        lambda x: {"a": x, "b": 1, "c": 2},
        lambda d: (d.pop("b"), d.__setitem__("z", 9)),
        {"a": True, "c": 2, "z": 9},
    ),
    (
        "value swaps an earlier key for a new one",
        Truth(True),
        lambda x: {"a": 0, "b": x, "c": 2, "d": 3, "e": 4},
        lambda d: (d.pop("a"), d.__setitem__("z", 9)),
        DICT_CHANGED,
    ),
    (
        "value swaps an earlier key for a new one, with room to spare",
        Truth(True),
        lambda x: {"a": 0, "b": x, "c": 2},
        lambda d: (d.pop("a"), d.__setitem__("z", 9)),
        DICT_CHANGED,
    ),
    (
        "last value replaces every entry",
        Truth(True),
        lambda x: {"a": 0, "b": x},
        lambda d: (d.clear(), d.update(c=1, d=2)),
        DICT_CHANGED,
    ),
    (
        "value grows dict past a resize",
        Truth(False),
        lambda x: {"a": x},
        lambda d: d.update(dict.fromkeys(range(100))),
        DICT_CHANGED,
    ),
]


@pytest.mark.parametrize(
    "element, build, action, expected", [row[1:] for row in MUTATIONS], ids=[row[0] for row in MUTATIONS]
)
def test_container_changed_by_element_code(element, build, action, expected):
    def task():
        results = []
        for config in CONFIGURATIONS:
            x = copy.copy(element)  # a fresh element per run
            container = build(x)
            x.hook = lambda: action(container)  # noqa: B023 (called within this iteration)
            del x  # the container holds the only reference
            results.append(outcome(lambda: dumps(container, *config)))  # noqa: B023 (called within this iteration)
        return results

    for result in in_child(task):
        check(result, expected)


def behaving(result):
    def method(self, *args):
        type(self).calls += 1
        if isinstance(result, BaseException):
            raise result
        return result

    return method


def odd(base, **methods):
    namespace = {name: behaving(result) for name, result in methods.items()}
    return type(f"Odd{base.__name__}", (base,), {"calls": 0, **namespace})


class Raises(Exception):
    pass


BOOM = Raises("boom")
BadBool = odd(object, __bool__=BOOM)

MISBEHAVING = [
    # id, value, what it gives alone and as the element of a list (a value fitting no
    # kind is an argument error at the top level)
    ("index raises", odd(object, __index__=BOOM)(), CAST),
    ("index returns float", odd(object, __index__=1.5)(), CAST),
    ("bool raises", odd(object, __bool__=BOOM)(), CAST),
    ("bool returns int", odd(object, __bool__=2)(), CAST),
    ("int raises", odd(object, __int__=BOOM)(), CAST),
    ("int returns str", odd(object, __int__="7")(), CAST),
    ("huge index with bool", odd(object, __index__=2**70, __bool__=True)(), True),
    ("eq raises", odd(int, __eq__=BOOM)(5), RANGE + "5$"),
    ("eq returns bad bool", odd(int, __eq__=BadBool())(5), RANGE + "5$"),
    ("eq not implemented", odd(int, __eq__=NotImplemented)(5), 5),
    ("str raises a C module's error", odd(int, __str__=struct.error("x"))(2**64), RANGE + "failed with error: x$"),
]


@pytest.mark.parametrize("value, expected", [row[1:] for row in MISBEHAVING], ids=[row[0] for row in MISBEHAVING])
def test_misbehaving_methods(value, expected):
    def task():
        return [
            (outcome(lambda: dumps(value, *config)), outcome(lambda: dumps([value], *config)))  # noqa: B023 (called within this iteration)
            for config in CONFIGURATIONS
        ]

    for alone, inside in in_child(task):
        check(alone, ARGUMENT if expected is CAST else expected)
        check(inside, expected if isinstance(expected, Fails) else [expected])


class Stop(BaseException):
    """How a framework of the test's own stops work."""


# Exceptions that say nothing about the value: those outside Exception (how
# asyncio, gevent and greenlet stop work), exhausted memory and the recursion
# limit end the call from the first hook that raises them, unchanged.
STOPPING = [KeyboardInterrupt, SystemExit, GeneratorExit, asyncio.CancelledError, Stop, MemoryError, RecursionError]
VALUE_CALLS = [lambda v, c=c: dumps(v, *c) for c in CONFIGURATIONS] + [
    lambda v, c=c: dumps([v], *c) for c in CONFIGURATIONS
]
HOOKS = [
    # base, hook, constructor arguments, the calls that meet the hook
    (object, "__index__", (), VALUE_CALLS),
    (object, "__bool__", (), VALUE_CALLS),
    (object, "__int__", (), VALUE_CALLS),
    (int, "__eq__", (5,), VALUE_CALLS),
    (int, "__str__", (2**70,), VALUE_CALLS),
    (object, "__repr__", (), [dumps]),  # an argument error's text
    (object, "__bool__", (), [lambda v: dumps([], v)]),
    (object, "__index__", (), [lambda v: dumps([], True, v)]),
]


@pytest.mark.parametrize("error", STOPPING, ids=lambda error: error.__name__)
def test_stopping_exceptions_end_the_call_at_once(error):
    def task():
        results = []
        for base, hook, args, calls in HOOKS:
            for call in calls:
                value = odd(base, **{hook: error("boom")})(*args)
                results.append((hook, outcome(lambda: call(value)), type(value).calls))  # noqa: B023 (called within this iteration)
        return results

    for hook, result, calls in in_child(task):
        check(result, Fails(error.__name__, "^boom$"))
        assert calls == 1, hook


# greenlet saves a paused greenlet's stack with memcpy, which the sanitizer
# checks against the guard zones of the instrumented frames it copies.
@pytest.mark.skipif(UNDER_SANITIZER, reason="greenlet's stack copies read the sanitizer's guard zones")
def test_gevent_timeout_and_kill_stop_a_dumps_whose_value_waits():
    def task():
        import gevent

        class Waits:
            calls = 0

            def __index__(self):
                Waits.calls += 1
                gevent.sleep(5)
                return 1

        with gevent.Timeout(0.05):
            timed_out = outcome(lambda: dumps([Waits()]))
        worker = gevent.spawn(dumps, [Waits()])
        gevent.sleep(0.05)
        worker.kill()
        return timed_out, type(worker.value).__name__, Waits.calls

    assert in_child(task) == (("Timeout", "0.05 seconds"), "GreenletExit", 2)


def test_reentrant_dumps_from_element_code():
    def task():
        inner = []
        x, y, z = Index(5), EqInt(7), StrInt(2**64)
        value = [x, {"y": y}, "a"]
        x.hook = lambda: inner.append(dumps(value, False))
        y.hook = lambda: inner.append(dumps([value, 1.5]))
        z.hook = lambda: inner.append(outcome(lambda: dumps([value, z])))
        return [outcome(lambda: dumps(value, *config)) for config in CONFIGURATIONS], inner, outcome(lambda: dumps([z]))  # noqa: B023 (called within this iteration)

    results, inner, failed = in_child(task)
    for result in results:
        check(result, [5, {"y": 7}, "a"])
    # y's nested call ran inside x's, so it finished first.
    assert [cbor2.loads(data) for data in inner[:2]] == [[[5, {"y": 7}, "a"], 1.5], [5, {"y": 7}, "a"]]
    check(inner[2], RANGE + "big$")  # the nested call met z again, its hook already spent
    check(failed, RANGE + "big$")


def reentrant_chain(depth):
    """A value whose __index__ calls dumps on the next one, depth times over: the
    calls nest on the native stack with no container between them."""

    class Link:
        def __init__(self, n):
            self.n = n

        def __index__(self):
            if self.n:
                try:
                    dumps(Link(self.n - 1))
                except Exception:
                    pass
            return 1

    return Link(depth)


def nested(shape, depth):
    if shape.startswith("self"):
        inner = [] if shape != "self dict" else {}
        if shape == "self list":
            inner.append(inner)
        elif shape == "self dict":
            inner["k"] = inner
        else:
            inner.append((inner,))
        return inner
    value = None
    gc.disable()  # collections would walk the growing chain again and again
    try:
        for _ in range(depth):
            value = {"k": value} if shape == "dict" else (value,) if shape == "tuple" else [value]
    finally:
        gc.enable()
    return value


def python_reach():
    """How deep plain Python recursion gets from here."""

    def down(n):
        try:
            return down(n + 1)
        except RecursionError:
            return n

    return down(0)


THREAD_STACK_SIZE = 512 * 1024


def stack_size(where):
    """The size of the stack that run_on runs a task on: where is "main" or
    the stack size of a thread. Skips the test where the main thread's stack
    has no limit."""
    if where != "main":
        return where
    size = main_stack_size()
    if size is None:
        pytest.skip("the main thread's stack has no size limit that a test can nest past")
    return size


def run_on(where, recursion_limit, task):
    """Runs task() in a forked child, on its main thread or on a thread with a
    stack of `where` bytes, under the given recursion limit (None: the
    default)."""

    def child():
        if recursion_limit:
            sys.setrecursionlimit(recursion_limit)
        if where == "main":
            return task()
        box = []
        previous = threading.stack_size(where)
        try:
            thread = threading.Thread(target=lambda: box.append(task()))
            thread.start()
            thread.join()
        finally:
            threading.stack_size(previous)
        return box[0]

    return in_child(child)


# 32 KiB is the smallest stack that threading accepts, 128 KiB musl's default
# for threads that C code starts. On such stacks plain Python code overflows
# before the default recursion limit, so only a higher limit is tried there.
SETTINGS = pytest.mark.parametrize(
    "where, recursion_limit",
    [
        ("main", None),
        ("main", 10**6),
        (THREAD_STACK_SIZE, None),
        (THREAD_STACK_SIZE, 10**6),
        (128 * 1024, 10**6),
        (32 * 1024, 10**6),
    ],
    ids=[
        "main thread",
        "main thread, limit 1e6",
        "512k thread",
        "512k thread, limit 1e6",
        "128k thread, limit 1e6",
        "32k thread, limit 1e6",
    ],
)


# A depth that each setting must still write: the interpreter's default
# recursion limit (1000) bounds the unlimited configurations.
def writable(where, recursion_limit):
    depth = writable_depth(stack_size(where))
    return depth if recursion_limit else min(depth, 500)


@SETTINGS
@pytest.mark.parametrize("shape", ["list", "tuple", "dict", "self list", "self dict", "self tuple"])
def test_deep_nesting_raises_cleanly(shape, where, recursion_limit):
    deep, written = unwritable_depth(stack_size(where)), writable(where, recursion_limit)
    limit = min(written, 50)

    def task():
        reach = python_reach() if recursion_limit is None else None
        value = nested(shape, deep)
        results = [outcome(lambda: dumps(value, *config)) for config in CONFIGURATIONS]  # noqa: B023 (called within this iteration)
        results += [outcome(lambda: dumps(value, indefinite, limit)) for indefinite in (True, False)]  # noqa: B023 (called within this iteration)
        results.append(outcome(lambda: dumps(nested("list", written), False)))
        return results, reach, python_reach() if recursion_limit is None else None

    results, reach_before, reach_after = run_on(where, recursion_limit, task)
    for result in results[:4]:
        check(result, DEEP)
    for result in results[4:6]:
        check(result, Fails("RuntimeError", f"^Exceeded recursion limit:{limit}$"))
    assert results[6] == ("bytes", b"\x81" * written + b"\xf6")
    assert reach_before == reach_after  # every level entered was left again


@SETTINGS
def test_deep_chain_of_reentrant_calls(where, recursion_limit):
    result = run_on(where, recursion_limit, lambda: outcome(lambda: dumps(reentrant_chain(100_000))))
    assert result == ("bytes", b"\x01")


# An explicit max_depth governs, whatever the interpreter's recursion limit
# (1000 here); the native stack guard still stops a thread whose stack runs out.
WRITTEN_1500 = [("bytes", b"\x9f" * 1500 + b"\xf6" + b"\xff" * 1500), ("bytes", b"\x81" * 1500 + b"\xf6")]


@pytest.mark.parametrize(
    "where, shape, max_depth, expected",
    [
        ("main", "list", 1510, WRITTEN_1500),
        ("main", "list", U64_MAX, WRITTEN_1500),
        ("main", "list", 1200, [Fails("RuntimeError", "^Exceeded recursion limit:1200$")] * 2),
        (THREAD_STACK_SIZE, "self list", U64_MAX, [DEEP] * 2),
        (32 * 1024, "self list", U64_MAX, [DEEP] * 2),
    ],
)
def test_max_depth_governs_over_the_recursion_limit(where, shape, max_depth, expected):
    def task():
        value = nested(shape, 1500)
        return [outcome(lambda: dumps(value, indefinite, max_depth)) for indefinite in (True, False)]  # noqa: B023 (called within this iteration)

    for result, wanted in zip(run_on(where, 1000, task), expected, strict=True):
        if isinstance(wanted, Fails):
            check(result, wanted)
        else:
            assert result == wanted
