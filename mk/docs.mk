# ---- Documentation ----------------------------------------------------------
# Sphinx and its pinned tools live in their own environment, .venv-docs:
# myst-parser needs an older docutils and markdown-it-py than twine's, which
# make wheel installs into .venv. The site needs no build of the module: its
# version comes from pyproject.toml, and the API page is rendered from the type
# stub's docstring (docs/_ext/stub_function.py). Warnings, broken references
# included, fail the build.
.PHONY: docs docs-screenshots
DOCS_VENV := .venv-docs
DOCS_BUILD := build/docs

$(DOCS_VENV)/bin/sphinx-build: docs/requirements.txt
	$(call new_venv,$(DOCS_VENV))
	$(DOCS_VENV)/bin/python -m pip install --quiet -r docs/requirements.txt
	touch $@

# Every page is read afresh (-E, 3 s): Sphinx would otherwise keep pages it
# thinks current after a change to conf.py, the extension or the stylesheet.
docs: $(DOCS_VENV)/bin/sphinx-build ## build the Sphinx site into build/docs/html, warnings as errors
	$(DOCS_VENV)/bin/sphinx-build -E -W -n --keep-going -q -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html
	@echo "the site is in $(DOCS_BUILD)/html/index.html"

# Screenshots of the site's main pages as a phone (390 px) and a laptop
# (1280 px) show them, taken by Debian's headless chromium, installed when
# missing, with a check that no table, code or byte string is cut off
# (scripts/docs_screenshots); the log names the browser's version. Not run in CI.
docs-screenshots: docs ## screenshots of the site at 390 and 1280 px into build/docs/screenshots; fails if anything is cut off
	$(call apt_install,chromium>=120)
	$(PYTHON) scripts/docs_screenshots $(DOCS_BUILD)/html $(DOCS_BUILD)/screenshots
