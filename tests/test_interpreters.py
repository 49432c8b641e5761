"""dumps in sub-interpreters, as uWSGI and mod_wsgi run applications, and beside
other pybind11 modules: the same bytes and the same errors as in the main
interpreter alone, whichever interpreter imports the module first, from
several threads at once, with interpreters destroyed in any order, with a
module loaded that registers an exception translator of its own with
pybind11, in both processes of a fork after calls on other threads, and in a
process whose malloc another allocator replaces (LD_PRELOAD), where a block
that crossed between it and the module's own would crash. Each case runs in
a fresh process, so that the first import happens where the case says; a
hang fails it after a minute.
"""

import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from checked_build import UNDER_SANITIZER
from support import build

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")

# The calls that each interpreter makes, and what every one of them must see.
EXPECTED = [
    "bf61619f01f9410061784179f6f5ffff",
    ("RuntimeError", "Unable to cast Python instance to C++ type (compile in debug mode for details)"),
    ("RuntimeError", "Exceeded recursion limit:1"),
    ("RuntimeError", "dumps received an integer out of range for both int64_t and uint64_t18446744073709551616"),
    ("TypeError", "dumps(): incompatible function arguments."),
    ("RecursionError", "maximum recursion depth exceeded while encoding a CBOR item"),
    ("MemoryError", ""),
]

# Runs in an interpreter with `fd` and `alone` set, and writes what the calls
# gave to fd. The allocation fails under an address space capped a little
# above what the process uses: a cap for the whole process, so only a probe
# that runs alone makes that call.
PROBE = textwrap.dedent(
    """
    import os, pickle, resource
    from veldspray_cbor import dumps

    def outcome(call):
        try:
            return call().hex()
        except Exception as error:
            return type(error).__name__, str(error).split(" The following")[0]

    def out_of_memory():
        payload = [b"x" * (64 << 20)]
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), hard))
        try:
            return dumps(payload)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    looped = []
    looped.append(looped)
    calls = [
        lambda: dumps({"a": [1, 2.5, "x", b"y", None, True]}),
        lambda: dumps([{1, 2}]),
        lambda: dumps([[1]], max_depth=1),
        lambda: dumps(2**64),
        lambda: dumps({1, 2}),
        lambda: dumps(looped),
    ] + [out_of_memory] * alone
    os.write(fd, pickle.dumps([outcome(call) for call in calls]))
    """
)

# The child: runs the probe in the interpreters that a scenario names, then
# checks for leaks where the address sanitizer runs.
CHILD = textwrap.dedent(
    """
    import ctypes, os, pickle, sys, threading
    import _xxsubinterpreters as interpreters

    probe, scenario, neighbour_folder = sys.argv[1:]
    seen = []

    def run(interpreter=None, alone=1):
        read_end, write_end = os.pipe()
        if interpreter is None:
            exec(probe, {"fd": write_end, "alone": alone})
        else:
            interpreters.run_string(interpreter, probe, shared={"fd": write_end, "alone": alone})
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            seen.append((alone, pickle.loads(pipe.read())))

    if scenario == "sub first":
        run(interpreters.create())
        run()
    elif scenario == "threads":
        barrier = threading.Barrier(4)

        def worker():
            interpreter = interpreters.create()
            barrier.wait()
            for _ in range(5):
                run(interpreter, alone=0)
            interpreters.destroy(interpreter)

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        run()
    elif scenario == "any order":
        a, b, c = interpreters.create(), interpreters.create(), interpreters.create()
        run(b)
        run(a)
        interpreters.destroy(b)
        run(c)
        interpreters.destroy(a)
        d = interpreters.create()
        run(d)
        interpreters.destroy(c)
        run(d)
        interpreters.destroy(d)
        e = interpreters.create()
        run(e)
        interpreters.destroy(e)
        run()
    elif scenario == "fork after threads":
        threads = [threading.Thread(target=run, kwargs={"alone": 0}) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        read_end, write_end = os.pipe()
        child = os.fork()
        if child == 0:
            exec(probe, {"fd": write_end, "alone": 1})
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            seen.append((1, pickle.loads(pipe.read())))
        assert os.waitpid(child, 0)[1] == 0
        run()
    elif scenario == "malloc preloaded":
        run()
        run(interpreters.create(), alone=0)
    elif scenario == "beside a neighbour":
        run()
        sys.path.insert(0, neighbour_folder)
        import neighbour
        run()
        run(interpreters.create())
    print(len(seen))
    for alone_and_outcomes in seen:
        print(repr(alone_and_outcomes))
    leak_check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
    sys.exit(leak_check() if leak_check else 0)
    """
)


NEIGHBOUR = pathlib.Path(__file__).parent / "neighbour" / "neighbour.cpp"


@pytest.fixture(scope="session")
def neighbour_folder(tmp_path_factory):
    """Where the neighbour module is, built with the compiler of the module
    under test: the sanitized build's clang, else the system's c++."""
    pybind11 = pytest.importorskip("pybind11")
    folder = tmp_path_factory.mktemp("neighbour")
    build(
        "clang++" if UNDER_SANITIZER else "c++",
        *("-std=c++17", "-O0", "-shared", "-fPIC", f"-I{pybind11.get_include()}"),
        f"-I{sysconfig.get_paths()['include']}",
        NEIGHBOUR,
        "-o",
        folder / f"neighbour{sysconfig.get_config_var('EXT_SUFFIX')}",
    )
    return folder


# Debian's jemalloc (libjemalloc2), which make test installs.
JEMALLOC = pathlib.Path("/usr/lib", f"{sysconfig.get_config_var('MULTIARCH')}", "libjemalloc.so.2")


@pytest.mark.parametrize(
    "scenario, interpreters",
    [
        ("sub first", 2),
        ("threads", 21),
        ("any order", 7),
        ("beside a neighbour", 3),
        ("fork after threads", 6),
        pytest.param(
            "malloc preloaded",
            2,
            marks=pytest.mark.skipif(
                UNDER_SANITIZER or not JEMALLOC.exists(), reason="needs Debian's jemalloc, and no sanitizer preloaded"
            ),
        ),
    ],
)
def test_every_interpreter_sees_the_same(scenario, interpreters, request):
    neighbour = request.getfixturevalue("neighbour_folder") if scenario == "beside a neighbour" else ""
    preload = {"LD_PRELOAD": str(JEMALLOC)} if scenario == "malloc preloaded" else {}
    result = subprocess.run(
        [sys.executable, "-c", CHILD, PROBE, scenario, neighbour],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, **preload},
    )
    assert result.returncode == 0, result.stderr
    count, *outcomes = result.stdout.splitlines()
    assert int(count) == interpreters
    for line in outcomes:
        alone, seen = eval(line)
        assert seen == (EXPECTED if alone else EXPECTED[:-1]), line
