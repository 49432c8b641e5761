"""Repeated calls, successful and failing, leave nothing behind: no references on
the inputs, no Python objects, no native memory. Calls from many threads on
shared inputs give the same bytes as one thread."""

import ctypes
import gc
import os
import sys
import threading

import pytest

from checked_build import UNDER_SANITIZER
from support import objects_in
from veldspray_cbor import dumps

U64_MAX = 2**64 - 1
CONFIGURATIONS = [(True, 0), (True, U64_MAX), (False, 0), (False, U64_MAX)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Resizer:
    """Makes the list that holds it grow or shrink on every classification."""

    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        if len(self.owner) == 2:
            self.owner.append(None)
        else:
            self.owner.pop()
        return 1


class Dropper:
    """Takes an entry out of the dict that holds it, and puts it back next time."""

    def __init__(self, owner):
        self.owner = owner

    def __bool__(self):
        if "spare" in self.owner:
            del self.owner["spare"]
        else:
            self.owner["spare"] = [1]
        return True


class LoudInt(int):
    def __str__(self):
        raise ValueError("no text")


def blob(n):
    return bytes(range(256)) * (n // 256) + b"tail"


def inputs():
    """(value, max_depth, expected exception or None); every object is fresh, so its
    reference count is ours alone."""
    self_list = [1.5]
    self_list.append(self_list)
    resizing = [blob(1024)]
    resizing.insert(0, Resizer(resizing))
    dropping = {"a": blob(1024)}
    dropping["b"] = Dropper(dropping)
    tree = {
        "text": "t\u00e9xt" * 50,
        "blob": blob(1024),
        "floats": [0.1, -0.0, 1e300, float("nan")],
        "ints": [2**63, -(2**63), Index(-5), LoudInt(7)],
        ("tuple", "key"): (None, True, {"inner": [[]]}),
    }
    return {
        "tree": (tree, 0, None),
        "tree within a limit": (tree, 5, None),
        "big int": ([blob(1024), 2**70], 0, RuntimeError),
        "big int without text": ([blob(1024), LoudInt(-(2**70))], 0, RuntimeError),
        "nested set": ([blob(1024), {1, 2}], 0, RuntimeError),
        "over the limit": ([blob(1024), [[[1]]]], 2, RuntimeError),
        "self-containing": ([blob(1024), self_list], 0, RecursionError),
        "list changes size": (resizing, 0, RuntimeError),
        "dict changes size": (dropping, 0, RuntimeError),
        "argument error": ({1, 2}, 0, TypeError),
        "lone surrogates": ("\ud800" * 100, 0, RuntimeError),
    }


def call(value, max_depth, error, indefinite=True):
    try:
        dumps(value, indefinite, max_depth)
    except Exception as raised:
        assert type(raised) is error
    else:
        assert error is None


@pytest.mark.parametrize("value, max_depth, error", inputs().values(), ids=inputs().keys())
def test_reference_counts_stay_flat(value, max_depth, error):
    for indefinite in (True, False):
        call(value, max_depth, error, indefinite)  # warm up lazily built caches
    watched = objects_in(value)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        for indefinite in (True, False):
            call(value, max_depth, error, indefinite)
    assert [sys.getrefcount(obj) for obj in watched] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")
def test_objects_and_memory_stay_flat():
    cases = list(inputs().values())

    def run(rounds):
        for _ in range(rounds):
            for value, max_depth, error in cases:
                call(value, max_depth, error)

    run(200)
    gc.collect()
    objects, memory = len(gc.get_objects()), resident_bytes()
    run(20_000 // len(cases))  # a leak of the ~1 KiB output per call would be about 20 MiB
    gc.collect()
    assert len(gc.get_objects()) - objects < 100
    assert resident_bytes() - memory < 8 << 20


class MallocInfo(ctypes.Structure):
    """glibc's struct mallinfo2."""

    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


def mallinfo2():
    """glibc's counts of the heap, whose uordblks is the bytes that malloc has
    handed out and not had back, in every arena; None elsewhere, and where the
    address sanitizer's allocator stands in for glibc's (its leak check covers
    that build)."""
    if sys.platform == "win32" or UNDER_SANITIZER or not hasattr(ctypes.CDLL(None), "mallinfo2"):
        return None
    function = ctypes.CDLL(None).mallinfo2
    function.restype = MallocInfo
    return function


MALLINFO2 = mallinfo2()


@pytest.mark.skipif(MALLINFO2 is None, reason="needs glibc's mallinfo2, without the address sanitizer")
def test_new_threads_leave_no_memory_behind():
    # Each thread reads its stack's bounds at its first call, and has its own
    # heap in the bundled allocator, which its end must give back.
    def run(threads):
        for _ in range(threads):
            thread = threading.Thread(target=dumps, args=([1.5, "a", b"x" * 40_000],))
            thread.start()
            thread.join()

    run(50)
    before, resident = MALLINFO2().uordblks, resident_bytes()
    run(1000)
    assert MALLINFO2().uordblks - before < 64 << 10  # 1000 leaks of a 144-byte block would be 140 KiB
    assert resident_bytes() - resident < 8 << 20  # 1000 leaks of the 40 KB output would be 40 MB


def outcome(value, max_depth, indefinite):
    try:
        return dumps(value, indefinite, max_depth)
    except Exception as error:
        return type(error).__name__, str(error).split("\n")[0]


def test_threads_share_inputs_and_agree():
    # The inputs that change themselves would race with each other's changes.
    cases = [case for name, case in inputs().items() if "changes" not in name]

    def all_outcomes():
        return [outcome(value, depth, indefinite) for value, depth, _ in cases for indefinite in (True, False)]

    expected = all_outcomes()
    barrier = threading.Barrier(8)
    results = []

    def worker():
        barrier.wait()
        for _ in range(25):
            results.append(all_outcomes())

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads inside the Python methods that dumps calls
    try:
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert len(results) == 8 * 25
    assert all(result == expected for result in results)
