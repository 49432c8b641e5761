"""dumps in a program that embeds the interpreter (tests/embed/host.c): called
from threads that the program starts with 128 KiB stacks, and from a fiber on
a 256 KiB stack of its own. The program is built once per session with the
machine's C compiler against the shared libpython of the Python running the
tests, and runs in a process of its own, ended if it overruns a minute.
"""

import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import veldspray_cbor
from support import build

HOST = pathlib.Path(__file__).parent / "embed" / "host.c"
LIBDIR = sysconfig.get_config_var("LIBDIR")
LIBPYTHON = sysconfig.get_config_var("LDLIBRARY")

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the host uses Linux's threads and contexts"),
    pytest.mark.skipif(
        not sysconfig.get_config_var("Py_ENABLE_SHARED") or not (pathlib.Path(LIBDIR) / LIBPYTHON).exists(),
        reason="this Python has no shared libpython to embed",
    ),
]


@pytest.fixture(scope="session")
def host(tmp_path_factory):
    program = tmp_path_factory.mktemp("embed") / "embed_host"
    build(
        "cc",
        *("-std=c11", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Werror"),
        f"-I{sysconfig.get_paths()['include']}",
        HOST,
        "-o",
        program,
        f"-L{LIBDIR}",
        f"-Wl,-rpath,{LIBDIR}",
        f"-lpython{sysconfig.get_config_var('LDVERSION')}",
        "-pthread",
        "-ldl",
    )
    return program


def test_dumps_from_threads_and_a_fiber_of_an_embedding_host(host):
    # The embedded interpreter is the one running the tests, whatever prefix
    # it would find from the program's own folder; the module comes from the
    # folder it was installed into.
    environment = {**os.environ, "PYTHONHOME": f"{sys.base_prefix}:{sys.base_exec_prefix}"}
    module_folder = pathlib.Path(veldspray_cbor.__file__).parent
    try:
        run = subprocess.run([host, module_folder], capture_output=True, text=True, timeout=60, env=environment)
    except subprocess.TimeoutExpired as overran:  # the process was ended
        pytest.fail(f"the host still ran after 60 s\nstdout:\n{overran.stdout}\nstderr:\n{overran.stderr}")
    output = f"exit status {run.returncode}\nstdout:\n{run.stdout}\nstderr:\n{run.stderr}"
    assert run.returncode == 0, output
    assert re.search(r"^embed_host: \d+ checks, 0 failed", run.stdout, re.MULTILINE), output
