"""The examples of the README, the site's pages and the type stub's docstring,
run as doctests against the installed module: each byte string they show is
what dumps returns. A reader copies one section at a time, so each recipe,
and the README's Usage, also runs alone, in a fresh namespace and folder."""

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
    "README.md": 8,
    "docs/index.md": 2,
    "docs/recipes.md": 23,
    "module/veldspray_cbor-stubs/__init__.pyi": 3,
}
# A code fence would otherwise read as the last line of an example's output.
FENCE = re.compile(r"^\s*```.*$", re.MULTILINE)
# A plain code block runs whole, as a script: one example that prints nothing.
PLAIN_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
DOCUMENTED = (ast.Module, ast.ClassDef, ast.FunctionDef)
RECIPES = re.findall(r"^## (.+)$", (ROOT / "docs/recipes.md").read_text(encoding="utf-8"), re.MULTILINE)


def examples_text(path):
    text = path.read_text(encoding="utf-8")
    if path.suffix != ".pyi":
        return FENCE.sub("", PLAIN_BLOCK.sub(lambda block: f">>> exec({block[1]!r})", text))
    docstrings = (ast.get_docstring(node) for node in ast.walk(ast.parse(text)) if isinstance(node, DOCUMENTED))
    return "\n".join(docstring for docstring in docstrings if docstring)


def section(name, title):
    """The text of a page's section, from its heading to the next one."""
    text = examples_text(ROOT / name)
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return text[start : end if end >= 0 else None]


def run_examples(text, name, names):
    """Runs the examples of text in the namespace names; returns how many ran."""
    test = doctest.DocTestParser().get_doctest(text, names, name, name, 0)
    report = []
    failed, attempted = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test, out=report.append)
    assert failed == 0, "".join(report)
    return attempted


@pytest.mark.parametrize("name", SOURCES)
def test_examples(name, tmp_path, monkeypatch):
    """Every page twice in one folder: the recipes that write files must run
    again over what they wrote."""
    monkeypatch.chdir(tmp_path)
    for _ in range(2):
        # A docstring's examples run in its module's namespace; a page's
        # examples import what they use.
        names = dict(vars(veldspray_cbor)) if name.endswith(".pyi") else {}
        attempted = run_examples(examples_text(ROOT / name), name, names)
        assert attempted >= SOURCES[name], f"only {attempted} examples found in {name}"


@pytest.mark.parametrize(
    "name, title", [("docs/recipes.md", title) for title in RECIPES] + [("README.md", "Usage")], ids=str
)
def test_section_alone(name, title, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert run_examples(section(name, title), f"{name}: {title}", {}) > 0
