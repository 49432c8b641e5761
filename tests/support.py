"""What several test files share: the tables that the codec's own tests read
too, the walk over the objects inside a value, how deep values can nest on a
given stack, and the builds of the programs that tests run."""

import pathlib
import shutil
import subprocess

import pytest

from checked_build import UNDER_SANITIZER

TABLES = pathlib.Path(__file__).parent / "tables"


def table(name):
    """The (value text, expected hex) rows of tests/tables/NAME. Lines starting
    with '#' are comments; words past the second column are notes."""
    rows = []
    for line in (TABLES / name).read_text().splitlines():
        fields = line.split()
        if len(fields) >= 2 and not line.startswith("#"):
            rows.append((fields[0], fields[1]))
    return rows


def objects_in(value, seen=None):
    """Every object reachable through the containers of a value (dict keys and
    values, list and tuple items), each once."""
    seen = {} if seen is None else seen
    if id(value) not in seen:
        seen[id(value)] = value
        children = (
            [*value.keys(), *value.values()]
            if isinstance(value, dict)
            else value
            if isinstance(value, (list, tuple))
            else ()
        )
        for child in children:
            objects_in(child, seen)
    return list(seen.values())


# How much stack one level of nesting takes depends on the compiler, but it is
# never less than a return address, and never more than LEVEL_BYTES_MAX: gcc's
# levels take up to 210 B (a dict's), zig's 96 B, and clang's with the
# sanitizer 1,250 B. A thread has used up to ENTRY_BYTES_MAX of its stack by
# the time its Python code calls dumps.
LEVEL_BYTES_MAX = 1536 if UNDER_SANITIZER else 256
ENTRY_BYTES_MAX = 12 * 1024


def unwritable_depth(stack_size):
    """A nesting depth that no build can write on a stack of stack_size bytes."""
    return stack_size // 8 + 1


def writable_depth(stack_size):
    """A nesting depth that every build writes on a stack of stack_size bytes,
    whose last quarter the native stack guard keeps free: half the stack, or
    what is left of three quarters once the thread has reached dumps."""
    return min(stack_size // 2, stack_size * 3 // 4 - ENTRY_BYTES_MAX) // LEVEL_BYTES_MAX


def main_stack_size():
    """The main thread's stack size, the stack size limit; None where there is
    none, or where it is too large (over 64 MiB) to nest past in a test."""
    import resource  # POSIX only, like the forked children that need this

    limit = resource.getrlimit(resource.RLIMIT_STACK)[0]
    return None if limit == resource.RLIM_INFINITY or limit > 64 * 2**20 else limit


def build(compiler, *arguments):
    """Runs the compiler of that name on the PATH with the arguments; skips
    the test where there is none, fails it where the build fails."""
    path = shutil.which(compiler)
    if path is None:
        pytest.skip(f"no {compiler} to build with")
    command = [path, *map(str, arguments)]
    built = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert built.returncode == 0, f"{' '.join(command)}\n{built.stderr}"
