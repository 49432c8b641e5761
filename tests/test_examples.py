"""The examples of the README, the site's pages and the type stub's docstring,
run as doctests against the installed module: each byte string they show is
what dumps returns."""

import ast
import doctest
import pathlib
import re

import pytest

import veldspray_cbor

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Each source with the least number of examples it holds, so that a source
# whose examples stop being found fails rather than passing empty.
SOURCES = {
    "README.md": 7,
    "docs/index.md": 2,
    "docs/recipes.md": 19,
    "module/veldspray_cbor-stubs/__init__.pyi": 3,
}
# A code fence would otherwise read as the last line of an example's output.
FENCE = re.compile(r"^\s*```.*$", re.MULTILINE)
DOCUMENTED = (ast.Module, ast.ClassDef, ast.FunctionDef)


def examples_text(path):
    text = path.read_text(encoding="utf-8")
    if path.suffix != ".pyi":
        return FENCE.sub("", text)
    docstrings = (ast.get_docstring(node) for node in ast.walk(ast.parse(text)) if isinstance(node, DOCUMENTED))
    return "\n".join(docstring for docstring in docstrings if docstring)


@pytest.mark.parametrize("name", SOURCES)
def test_examples(name, tmp_path, monkeypatch):
    path = ROOT / name
    # A docstring's examples run in its module's namespace; a page's examples
    # import what they use.
    names = dict(vars(veldspray_cbor)) if path.suffix == ".pyi" else {}
    monkeypatch.chdir(tmp_path)  # for the files that recipes write
    test = doctest.DocTestParser().get_doctest(examples_text(path), names, path.name, str(path), 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failed, attempted = runner.run(test, out=report.append)
    assert attempted >= SOURCES[name], f"only {attempted} examples found in {path}"
    assert failed == 0, "".join(report)
