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
extensions = ["myst_parser", "sphinx_copybutton", "stub_function"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# Every reference must resolve, here and on Read the Docs alike.
nitpicky = True

# Links to a README heading (#installing) resolve as on a repository's page.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"veldspray_cbor {release}"
# The API page shows dumps(...) as a caller writes it, not veldspray_cbor.dumps(...).
add_module_names = False
html_static_path = ["_static"]
html_css_files = ["narrow.css"]
# GitHub's mark (Primer's Octicons, MIT license), for the footer's link.
GITHUB_ICON = (
    '<svg stroke="currentColor" fill="currentColor" stroke-width="0" viewBox="0 0 16 16"><path fill-rule="evenodd" '
    'd="M8 0C3.58 0 0 3.58 0 8c0 3.54 2.29 6.53 5.47 7.59.4.07.55-.17.55-.38 0-.19-.01-.82-.01-1.49-2.01.37-2.53-.49'
    "-2.69-.94-.09-.23-.48-.94-.82-1.13-.28-.15-.68-.52-.01-.53.63-.01 1.08.58 1.23.82.72 1.21 1.87.87 2.33.66.07-.52"
    ".28-.87.51-1.07-1.78-.2-3.64-.89-3.64-3.95 0-.87.31-1.59.82-2.15-.08-.2-.36-1.02.08-2.12 0 0 .67-.21 2.2.82.64-.18"
    " 1.32-.27 2-.27.68 0 1.36.09 2 .27 1.53-1.04 2.2-.82 2.2-.82.44 1.1.16 1.92.08 2.12.51.56.82 1.27.82 2.15 0 3.07-1.87"
    ' 3.75-3.65 3.95.29.25.54.73.54 1.48 0 1.07-.01 1.93-.01 2.2 0 .21.15.46.55.38A8.013 8.013 0 0 0 16 8c0-4.42-3.58-8-8-8z">'
    "</path></svg>"
)

# The source and the issue tracker, from pyproject.toml's [project.urls]: in
# the sidebar under the pages, and as an icon in every page's footer.
templates_path = ["_templates"]
html_context = {"project_urls": {"Source code": PROJECT["urls"]["Source"], "Issues": PROJECT["urls"]["Issues"]}}
html_sidebars = {
    "**": [
        "sidebar/brand.html",
        "sidebar/search.html",
        "sidebar/scroll-start.html",
        "sidebar/navigation.html",
        "project-links.html",
        "sidebar/scroll-end.html",
    ]
}
html_theme_options = {
    "footer_icons": [
        {"name": "Source code", "url": PROJECT["urls"]["Source"], "html": GITHUB_ICON, "class": ""},
    ]
}

# The copy button copies a session's input without its prompts and output,
# and a shell block as it is. A block ends with its compound statement, if it
# has one, so that it runs when pasted at the interpreter's prompt.
copybutton_prompt_text = r">>> |\.\.\. "
copybutton_prompt_is_regexp = True
copybutton_copy_empty_lines = False

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
    keep numbers with their units; and box the README's warnings."""
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


def setup(app):
    app.connect("doctree-read", mark_pages)
