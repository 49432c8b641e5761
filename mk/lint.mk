# ---- Format and lint --------------------------------------------------------
# The tools are pinned in lint-requirements.txt; their rules are in
# .clang-format, .clang-tidy and pyproject.toml ([tool.ruff]). clang-tidy reads
# the compile commands of a configure-only build (build/lint) of the module,
# the codec and the codec's tests, run over the files in parallel. The fuzz
# harnesses are formatted but not analysed: their libFuzzer header comes with
# the system's clang, which `make lint` does not need; nor is the C reader of
# make interop, whose libcbor header only make interop installs. actionlint
# runs without shellcheck and pyflakes, which it would otherwise take,
# unpinned, from the PATH.
.PHONY: lint format
LINT_BUILD := build/lint
CXX_FILES = $(shell find cbor encoder module tests interop -name '*.cpp' -o -name '*.h' -o -name '*.c')

$(BIN)/clang-tidy: lint-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r lint-requirements.txt
	touch $@

lint: $(BIN)/clang-tidy $(BIN)/cmake ## check the format, then ruff, actionlint and clang-tidy; fails on any finding
	$(BIN)/clang-format --dry-run -Werror $(CXX_FILES)
	$(BIN)/ruff format --check --quiet .
	$(BIN)/ruff check --quiet .
	$(BIN)/actionlint -shellcheck= -pyflakes= .github/workflows/*.yml
	$(BIN)/cmake -S . -B $(LINT_BUILD) $(NINJA_ARGS) --log-level=WARNING \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_ALLOC_FAULTS=ON
	$(BIN)/python $(BIN)/run-clang-tidy.py -clang-tidy-binary $(BIN)/clang-tidy -p $(LINT_BUILD) -quiet -hide-progress

format: $(BIN)/clang-tidy ## rewrite the C++ and Python files in the project's format
	$(BIN)/clang-format -i $(CXX_FILES)
	$(BIN)/ruff check --select I --fix --quiet .
	$(BIN)/ruff format --quiet .
