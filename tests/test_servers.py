"""dumps inside uWSGI, a server that runs applications where the module cannot
take its surroundings for granted: every mounted application after the first
runs in a sub-interpreter, and uGreen runs each request on a coroutine stack
of 256 KiB that the module cannot measure. Each test starts the uwsgi that
make installs beside this interpreter (tests/server-requirements.txt), with a
master and one worker, on a free port of 127.0.0.1, and ends it and its
workers by its pid.
"""

import ast
import contextlib
import http.client
import os
import runpy
import signal
import socket
import subprocess
import sys
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from test_interpreters import EXPECTED, PROBE

from checked_build import UNDER_SANITIZER

UWSGI = Path(sysconfig.get_path("scripts"), "uwsgi")
START_SECONDS, REQUEST_SECONDS = 60, 30

pytestmark = pytest.mark.skipif(
    not UWSGI.exists(),
    reason="no uwsgi beside this interpreter: make installs it on Linux, where it builds from source",
)

# Answers (worker pid, whether in a sub-interpreter, what the calls of PROBE gave).
CBOR_APP = f"""
import os, pickle
import _xxsubinterpreters as interpreters

def outcomes():
    read_end, write_end = os.pipe()
    exec({PROBE!r}, {{"fd": write_end, "alone": 0}})
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        return pickle.loads(pipe.read())

def application(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    answer = os.getpid(), interpreters.get_current() != interpreters.get_main(), outcomes()
    return [repr(answer).encode()]
"""

PLAIN_APP = """
import os
import _xxsubinterpreters as interpreters

def application(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [repr((os.getpid(), interpreters.get_current() != interpreters.get_main())).encode()]
"""

# Answers (worker pid, the hex of a list nested as deep as the query says, or
# "RecursionError"); any other error is the server's 500. The query
# "reentrant" asks for a value whose __bool__ writes 200 nested lists with
# dumps, eight times within one another.
NESTING_APP = """
import os
from veldspray_cbor import dumps

class Reentrant:
    def __init__(self, levels):
        self.levels = levels

    def __bool__(self):
        if self.levels:
            value = Reentrant(self.levels - 1)
            for _ in range(200):
                value = [value]
            dumps(value, indefinite=False, max_depth=2**64 - 1)
        return True

def application(environ, start_response):
    query = environ["QUERY_STRING"]
    if query == "reentrant":
        value = [Reentrant(8)]
    else:
        value = None
        for _ in range(int(query)):
            value = [value]
    try:
        written = dumps(value, indefinite=False).hex()
    except RecursionError:
        written = "RecursionError"
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [repr((os.getpid(), written)).encode()]
"""


class Server:
    def __init__(self, process, port, log):
        self.process, self.port, self.log = process, port, log

    def fail(self, what):
        tail = "\n".join(self.log.read_text(errors="replace").splitlines()[-40:])
        pytest.fail(f"{what}\n---- the end of {self.log} ----\n{tail}", pytrace=False)

    def get(self, path):
        """The answer of the application at path, read back as a Python value."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=REQUEST_SECONDS)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            body = response.read().decode()
        except (OSError, http.client.HTTPException) as error:
            self.fail(f"GET {path}: {error!r}")
        finally:
            connection.close()
        if response.status != 200:
            self.fail(f"GET {path}: {response.status} {body}")
        return ast.literal_eval(body)

    def wait_for(self, path):
        deadline = time.monotonic() + START_SECONDS
        while self.process.poll() is None and time.monotonic() < deadline:
            with socket.socket() as client:
                if client.connect_ex(("127.0.0.1", self.port)) == 0:
                    return self.get(path)
            time.sleep(0.1)
        self.fail(f"uwsgi not answering after {START_SECONDS} s (exit status {self.process.poll()})")


@contextlib.contextmanager
def uwsgi(folder, apps, *options):
    """uwsgi serving the applications {file name: source} from folder."""
    for name, source in apps.items():
        (folder / name).write_text(source)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    log = folder / "uwsgi.log"
    command = [UWSGI, "--master", "--die-on-term", "--need-app", "--http-socket", f"127.0.0.1:{port}"]
    command += ["--virtualenv", sys.prefix, "--chdir", folder, *options]
    with open(log, "wb") as out:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
    try:
        yield Server(process, port, log)
    finally:
        process.terminate()
        try:
            process.wait(timeout=REQUEST_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        with contextlib.suppress(ProcessLookupError):  # a worker that outlived its master
            os.killpg(process.pid, signal.SIGKILL)


def test_sub_interpreter_answers_as_the_main_one(tmp_path):
    apps = {"plain.py": PLAIN_APP, "cbor_app.py": CBOR_APP}
    options = ["--manage-script-name", "--mount", "/plain=plain.py", "--mount", "/cbor=cbor_app.py"]
    with uwsgi(tmp_path, apps, *options) as server:
        answers = [server.wait_for("/plain")] + [server.get(path) for path in ["/cbor", "/plain", "/cbor", "/cbor"]]
    in_main = runpy.run_path(str(tmp_path / "cbor_app.py"))["outcomes"]()
    assert in_main == EXPECTED[:-1]
    assert len({pid for pid, *_ in answers}) == 1, answers
    assert [answer[1:] for answer in answers] == [(False,), (True, in_main), (False,), (True, in_main), (True, in_main)]


# Depths that must be written, and deeper ones that may instead be refused.
SMALL_DEPTHS, DEEP_DEPTHS = [0, 1, 10], [100, 500, 1000, "reentrant"]


def acceptable(depth, written):
    wanted = "81f5" if depth == "reentrant" else (b"\x81" * depth + b"\xf6").hex()
    return written == wanted or (depth in DEEP_DEPTHS and written == "RecursionError")


# uGreen switches stacks without telling the sanitizer, which then finds the
# guard zones of frames that an earlier RecursionError unwound on the same
# stack where its own unwinding writes; tests/embed/host.c runs such stacks
# under the sanitizer, telling it of each switch.
@pytest.mark.skipif(UNDER_SANITIZER, reason="uGreen's stack switches are unknown to the sanitizer")
def test_ugreen_stacks_write_or_refuse(tmp_path):
    options = ["--wsgi-file", "nesting.py", "--async", "10", "--ugreen"]
    depths = [0] + (SMALL_DEPTHS + DEEP_DEPTHS) * 2 + [0]
    with uwsgi(tmp_path, {"nesting.py": NESTING_APP}, *options) as server:
        answers = [server.wait_for("/?0")]
        with ThreadPoolExecutor(4) as pool:
            answers += pool.map(server.get, [f"/?{depth}" for depth in depths[1:-1]])
        answers.append(server.get("/?0"))
        log = server.log.read_text(errors="replace")
        if any(sign in log for sign in ["DAMN !", "Segmentation Fault", "ERROR: AddressSanitizer"]):
            server.fail("the worker crashed")
    assert len({pid for pid, _ in answers}) == 1, f"the worker was replaced: {answers}"
    wrong = [(depth, got) for depth, (_, got) in zip(depths, answers, strict=True) if not acceptable(depth, got)]
    assert not wrong, f"(depth, what dumps gave) where the list had to be written, or written or refused: {wrong}"
