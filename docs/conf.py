"""Sphinx configuration of the veldspray_cbor site: `make docs` builds it
into build/docs/html with the tools in .venv-docs."""

import pathlib
import re
import sys

import tomli
from docutils import nodes

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "veldspray_cbor"
author = "the veldspray_cbor developers"
copyright = "the veldspray_cbor developers, MIT license"
ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomli.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
release = version = PROJECT["version"]

# The API page renders dumps from its type stub (_ext/stub_function.py).
extensions = ["myst_parser", "stub_function"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"

# Links to a README heading (#installing) resolve as on a repository's page.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"veldspray_cbor {release}"
# The API page shows dumps(...) as a caller writes it, not veldspray_cbor.dumps(...).
add_module_names = False
html_static_path = ["_static"]
html_css_files = ["narrow.css"]

# Inline code that is only hex bytes, such as `f9 3e 00`.
HEX_BYTES = re.compile(r"[0-9a-f]{2}( [0-9a-f]{2})+")
# Where a call in a table's header, such as dumps(v, indefinite=False), may
# break besides its spaces: after an opening parenthesis or an equals sign.
CALL_BREAK = re.compile(r"(?<=[(=])(?=\w)")
# The space between a number and its unit, which a line must not break at
# (the benchmark's "21.9 ms" in a narrow cell).
NUMBER_UNIT = re.compile(r"(?<=\d) (?=(?:ns|µs|ms|s|B|KB|KiB|MB|MiB|GB|GHz|px|%)(?![\w/]))")
# A GitHub alert that opens a quotation ("> [!WARNING]"), which the README
# uses so that the repository's page shows the box too.
ALERT = re.compile(r"\[!WARNING\]\s*")


def warning_boxes(doctree):
    """Turns each quotation that opens with a GitHub alert into a warning box."""
    for quote in list(doctree.findall(nodes.block_quote)):
        first = quote.children[0] if quote.children else None
        if not isinstance(first, nodes.paragraph) or not first.children:
            continue
        opening = first.children[0]
        if isinstance(opening, nodes.Text) and ALERT.match(opening.astext()):
            first.replace(opening, nodes.Text(ALERT.sub("", opening.astext(), count=1)))
            quote.replace_self(nodes.warning("", *quote.children))


def mark_pages(app, doctree):
    """Class the inline byte strings, which the stylesheet keeps on one line;
    let calls in tables' headers break, so that the benchmark's tables fit;
    keep numbers with their units; show each image at the column's width,
    which makes Sphinx link it to its full size (the benchmark chart is
    unreadable on a phone otherwise); and box the README's warnings."""
    warning_boxes(doctree)
    for literal in doctree.findall(nodes.literal):
        if HEX_BYTES.fullmatch(literal.astext()):
            literal["classes"].append("bytes")
    for header in doctree.findall(nodes.thead):
        for text in list(header.findall(nodes.Text)):
            first, *rest = CALL_BREAK.split(text.astext())
            if rest:
                pieces = [nodes.Text(first)]
                for piece in rest:
                    pieces += [nodes.raw("", "<wbr>", format="html"), nodes.Text(piece)]
                text.parent.replace(text, pieces)
    for text in list(doctree.findall(nodes.Text)):
        if not isinstance(text.parent, (nodes.literal, nodes.FixedTextElement)) and NUMBER_UNIT.search(text):
            text.parent.replace(text, nodes.Text(NUMBER_UNIT.sub("\u00a0", text.astext())))
    for image in doctree.findall(nodes.image):
        image.setdefault("width", "100%")


def setup(app):
    app.connect("doctree-read", mark_pages)
