"""The README's examples, run as doctests against the installed module: each
byte string it shows is what dumps returns."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
# A code fence would otherwise read as the last line of an example's output.
FENCE = re.compile(r"^\s*```.*$", re.MULTILINE)


def test_readme_examples():
    text = FENCE.sub("", README.read_text(encoding="utf-8"))
    test = doctest.DocTestParser().get_doctest(text, {}, README.name, str(README), 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failed, attempted = runner.run(test, out=report.append)
    assert attempted >= 10, f"only {attempted} examples found in {README}"
    assert failed == 0, "".join(report)
