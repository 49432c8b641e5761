"""What the tests need to know about a checked (sanitized) build of the module."""

import ctypes

# The address sanitizer's runtime is preloaded into the interpreter that runs
# the sanitized build's tests.
UNDER_SANITIZER = hasattr(ctypes.CDLL(None), "__asan_init")
