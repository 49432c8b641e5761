"""Out of memory: dumps raises and returns nothing partial."""

import subprocess
import sys
import textwrap

import pytest

from checked_build import UNDER_SANITIZER

# Runs in a child whose address space is capped a little above what it uses,
# so that the encoder's own buffer, or the result copy, cannot be allocated.
CHILD = textwrap.dedent(
    """
    import os, resource, sys
    import veldspray_cbor

    payload = b"x" * (64 << 20)
    headroom = int(sys.argv[1]) << 20
    used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom, hard))
    try:
        veldspray_cbor.dumps([payload])
    except BaseException as error:
        cause = type(error.__cause__).__name__ if error.__cause__ else None
        print(type(error).__name__, "|", error, "|", cause)
    else:
        print("returned")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(veldspray_cbor.dumps([1, "a"]).hex())
    """
)


# Under the address sanitizer every realloc moves the block, so growing the
# buffer past the payload takes as much room as copying out the result, and
# no headroom lets the one succeed while the other fails.


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.parametrize(
    "headroom_mib, outcome",
    [
        (32, "MemoryError |  | None"),
        pytest.param(
            100,
            "RuntimeError | Could not allocate bytes object! | MemoryError",
            marks=pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's realloc always moves the block"),
        ),
    ],
)
def test_exhausted_memory_raises(headroom_mib, outcome):
    result = subprocess.run([sys.executable, "-c", CHILD, str(headroom_mib)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [outcome, "9f016161ff"]
