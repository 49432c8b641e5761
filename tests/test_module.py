"""The module as Python sees it: import, attributes, docstrings, signature."""

import glob
import importlib.metadata
import os
import shutil
import subprocess

import pytest

import veldspray_cbor

MODULE_DOC = (
    "\n        Veldspray cbor\n        -----------------------\n\n"
    "        .. currentmodule:: veldspray_cbor\n\n"
    "        .. autosummary::\n           :toctree: _generate\n\n"
    "           dumps\n    "
)
SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
    "indefinite: bool = True, max_depth: int = 0) -> bytes"
)


def test_attributes_are_exactly_doc_version_and_dumps():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(veldspray_cbor)) - standard == {"dumps", "__version__"}


def test_version_comes_from_the_package_metadata():
    assert veldspray_cbor.__version__ == importlib.metadata.version("veldspray_cbor")
    assert type(veldspray_cbor.__version__) is str


def test_module_docstring():
    assert veldspray_cbor.__doc__ == MODULE_DOC
    assert len(MODULE_DOC) == 178


def test_dumps_identity_and_docstring():
    dumps = veldspray_cbor.dumps
    assert dumps.__name__ == "dumps"
    assert dumps.__module__ == "veldspray_cbor"
    assert dumps.__doc__ == "dumps" + SIGNATURE + "\n\n" + "\n    Dump a Python object to cbor\n    " + "\n"


def other_interpreters():
    """Interpreters of another Python version that are on this machine."""
    found = []
    for pattern in ("python3.11", "python3.12", "python3.9"):
        found += [path for path in [shutil.which(pattern)] if path]
        found += glob.glob(os.path.expanduser(f"~/.pyenv/versions/{pattern[6:]}*/bin/{pattern}"))
    return [path for path in found if subprocess.run([path, "-c", ""], capture_output=True).returncode == 0]


def test_import_under_another_interpreter_fails_with_version_mismatch():
    interpreters = other_interpreters()
    if not interpreters:
        pytest.skip("no interpreter of another Python version on this machine")
    library = veldspray_cbor.__file__
    probe = (
        "import importlib.machinery, importlib.util, sys\n"
        f"loader = importlib.machinery.ExtensionFileLoader('veldspray_cbor', {library!r})\n"
        "found = importlib.util.spec_from_loader('veldspray_cbor', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
        "    print(sys.version)\n"
    )
    result = subprocess.run([interpreters[0], "-c", probe], capture_output=True, text=True)
    message, version = result.stdout.splitlines()[:2]
    assert message.startswith(
        "Python version mismatch: module was compiled for Python 3.10, "
        "but the interpreter version is incompatible: " + version
    )
