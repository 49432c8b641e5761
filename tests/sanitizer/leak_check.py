"""A pytest plugin for runs under the address sanitizer: at the end of the
session, with every test's objects collected, it asks the leak checker for
blocks that nothing points to any more and fails the run if there are any.

The check runs here rather than at exit because the interpreter's teardown
leaves blocks of its own behind. Loaded with `-p leak_check` by make sanitize.
"""

import ctypes
import gc

import pytest


def pytest_sessionfinish(session, exitstatus):
    gc.collect()
    process = ctypes.CDLL(None)
    try:
        leak_check = process.__lsan_do_recoverable_leak_check
    except AttributeError:  # not running under the sanitizer runtime
        return
    if leak_check() != 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
