"""Sphinx configuration of the veldspray_cbor site: `make docs` builds it
into build/docs/html from the module installed in .venv-docs."""

import veldspray_cbor

project = "veldspray_cbor"
author = "the veldspray_cbor developers"
copyright = "the veldspray_cbor developers, MIT license"
release = version = veldspray_cbor.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.autosummary", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"

# The module docstring's autosummary writes the page of dumps to _generate/.
autosummary_generate = True

# Links to a README heading (#installing) resolve as on a repository's page.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"veldspray_cbor {release}"
