# Each target sets up what it needs on a fresh machine: a virtual environment
# in .venv with pinned tools, and the module built from this checkout.
# `make` alone lists the targets. This file holds the environments and the
# everyday targets; mk/ holds one file per other concern.

.DEFAULT_GOAL := help
NO_PYTHON_GOALS := help clean codec-test

PYTHON := $(shell scripts/find_python 2>/dev/null)
ifeq ($(PYTHON),)
ifneq ($(filter-out $(NO_PYTHON_GOALS),$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL))),)
$(error no Python 3.10 interpreter found. Install one, e.g. with pyenv (pyenv install 3.10) \
or your distribution's package (python3.10 with python3.10-venv), and run make again)
endif
endif

BIN := .venv/bin
CODEC_BUILD := build/codec
# pip reinstalls the module only when one of these changed since the last install.
MODULE_FILES := pyproject.toml CMakeLists.txt $(shell find allocator/*.* cbor encoder module -type f)
INSTALLED := .venv/module-installed
# CMake generates for the Ninja that .venv pins.
NINJA_ARGS = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja)

# $(call new_venv,DIR): a fresh virtual environment of $(PYTHON) in DIR, with
# the pip of pip-requirements.txt.
define new_venv
$(PYTHON) -m venv $(1)
$(1)/bin/python -m pip install --quiet --upgrade -r pip-requirements.txt
endef

.PHONY: help clean demo install test test-zig-lane test-checked-lane codec-test module-test path-build-tools

help: ## list the targets
	@echo "make TARGET, where TARGET is one of:"
	@awk -F ':.*## ' '/^[a-z-]+:.*## / { printf "  %-16s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

clean: ## remove the environments, all build output and the tools' caches
	rm -rf .venv .venv-sanitize .venv-docs build dist allocator/mimalloc .hypothesis .pytest_cache .mypy_cache .ruff_cache
	find . -path ./.git -prune -o -name __pycache__ -type d -exec rm -rf {} +

$(BIN)/python:
	$(call new_venv,.venv)

$(BIN)/pytest: tests/requirements.txt tests/server-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/requirements.txt -r tests/server-requirements.txt
	touch $@

# The build tools alone, at the versions pinned for the tests.
$(BIN)/cmake: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -c tests/requirements.txt cmake ninja
	touch $@

# cbor2 alone, at the version the tests read with.
$(BIN)/cbor2: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -c tests/requirements.txt cbor2
	touch $@

$(INSTALLED): $(MODULE_FILES) build/mimalloc/fetched | $(BIN)/python
	@echo "building the module from this checkout into .venv (compiling C++: up to a minute)"
	$(BIN)/python -m pip install --quiet .
	touch $@

install: $(INSTALLED) ## build the module from this checkout into .venv

demo: install ## install the module and encode a real JSON document as CBOR
	$(BIN)/python examples/json_to_cbor.py

# The codec needs only CMake and Ninja: the versions pinned for the tests,
# from .venv, or, where there is no Python 3.10, those on the PATH.
ifeq ($(PYTHON),)
CODEC_TOOLS := path-build-tools
CODEC_BIN :=
CODEC_NINJA := $(shell command -v ninja)
else
CODEC_TOOLS := $(BIN)/cmake
CODEC_BIN := $(BIN)/
CODEC_NINJA := $(abspath $(BIN)/ninja)
endif

path-build-tools:
	@if ! command -v cmake >/dev/null || ! command -v ctest >/dev/null || ! command -v ninja >/dev/null; then \
		echo "without Python 3.10, make codec-test needs cmake (3.18 or later) and ninja on the PATH" \
			"(on Debian and Ubuntu: apt-get install cmake ninja-build)"; exit 1; fi
	@echo "no Python 3.10 found: building the codec with $$(command -v cmake) and $$(command -v ninja) from the PATH"

codec-test: $(CODEC_TOOLS) ## the C++ tests of the codec and of the thread stack bounds (no Python needed)
	$(CODEC_BIN)cmake -S . -B $(CODEC_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CODEC_NINJA) \
		-DVELDSPRAY_BUILD_MODULE=OFF -DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_WERROR=ON
	$(CODEC_BIN)cmake --build $(CODEC_BUILD)
	$(CODEC_BIN)ctest --test-dir $(CODEC_BUILD) --output-on-failure

module-test: install $(BIN)/pytest ## the module's pytest suite
	$(BIN)/python -m pytest

include mk/tools.mk mk/checked.mk mk/wheels.mk mk/cross.mk mk/docs.mk mk/measure.mk mk/lint.mk

# The tools of the system and of .venv first, one install at a time; then two
# lanes side by side, which share no file: the zig builds and their runs, and
# the checked builds with the module's tests, whose own environment
# (.venv-sanitize) is made while zig builds (each step's output shown once it
# ends).
TEST_TOOLS := clang-tools qemu-tools musl-runtime jemalloc-runtime $(BIN)/cmake $(BIN)/pytest build/mimalloc/fetched
test: $(TEST_TOOLS) ## every test: codec (natively and with the bundled allocator), dlopen under musl, sanitizers, fuzzers, module
	$(MAKE) -j2 --output-sync=target test-zig-lane test-checked-lane
test-zig-lane:
	$(MAKE) codec-mimalloc-test
	$(MAKE) dlopen-test
test-checked-lane:
	$(MAKE) codec-test
	$(MAKE) sanitize
	$(MAKE) fuzz
	$(MAKE) module-test
