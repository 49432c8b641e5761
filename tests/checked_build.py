"""What the tests need to know about a checked (sanitized) build of the module."""

import ctypes
import sys

# The address sanitizer's runtime is preloaded into the interpreter that runs
# the sanitized build's tests (never on Windows, which has no such build).
UNDER_SANITIZER = sys.platform != "win32" and hasattr(ctypes.CDLL(None), "__asan_init")
