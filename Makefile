# Each target sets up what it needs on a fresh machine: a virtual environment
# in .venv with pinned tools, and the module built from this checkout.
#   make demo   install the module and encode a real JSON document as CBOR
#   make test   build and run every test: the codec's own, then the module's

PYTHON := $(shell scripts/python310)
BIN := .venv/bin
CODEC_BUILD := build/codec

.PHONY: demo test install codec-test module-test

$(BIN)/python:
	$(PYTHON) -m venv .venv
	$(BIN)/python -m pip install --quiet --upgrade pip==24.3.1

$(BIN)/pytest: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/requirements.txt
	touch $@

install: | $(BIN)/python
	$(BIN)/python -m pip install --quiet .

demo: install
	$(BIN)/python examples/json_to_cbor.py

codec-test: $(BIN)/pytest
	$(BIN)/cmake -S . -B $(CODEC_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_WERROR=ON
	$(BIN)/cmake --build $(CODEC_BUILD)
	$(BIN)/ctest --test-dir $(CODEC_BUILD) --output-on-failure

module-test: install $(BIN)/pytest
	$(BIN)/python -m pytest

test: codec-test module-test
