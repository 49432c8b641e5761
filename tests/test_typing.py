"""Type checkers find the installed module's types and hold callers to them."""

import os
import re
import subprocess
import sys

CORRECT = """\
import collections
import decimal
import uuid

from veldspray_cbor import __version__, dumps

version: str = __version__
document: dict[str, object] = {"a": [1, 2.5], "b": (None, True, b"x")}
encoded: bytes = dumps(document)
encoded = dumps([1], indefinite=False, max_depth=3)
encoded = dumps(collections.OrderedDict(a=1), False, 0)
encoded = dumps(decimal.Decimal("1.5")) + dumps(uuid.UUID(int=5)) + dumps("text")
"""

MISUSE = """\
from veldspray_cbor import dumps

dumps({1, 2})
dumps([1], max_depth=1.5)
text: str = dumps(1)
"""


def test_mypy_strict_accepts_correct_use_and_reports_each_misuse(tmp_path):
    (tmp_path / "correct.py").write_text(CORRECT)
    (tmp_path / "misuse.py").write_text(MISUSE)
    # Run from outside the repository so that only the installed types are
    # found; the sanitizer's preload is for the module's tests, not for mypy.
    environment = {
        name: value for name, value in os.environ.items() if name not in ("MYPYPATH", "PYTHONPATH", "LD_PRELOAD")
    }
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            "correct.py",
            "misuse.py",
        ],
        cwd=tmp_path,
        env=environment,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.stderr == ""
    errors = re.findall(r"^(\w+\.py):(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.MULTILINE)
    assert errors == [
        ("misuse.py", "3", "arg-type"),
        ("misuse.py", "4", "arg-type"),
        ("misuse.py", "5", "assignment"),
    ], result.stdout
