# ---- Format and lint --------------------------------------------------------
# The tools are pinned in lint-requirements.txt, their rules in .clang-format,
# .clang-tidy and pyproject.toml ([tool.ruff]). Each tool gets every file of
# its kind, found by scripts/lint_files as the pre-commit hooks find theirs,
# scripts without an extension by their #! line. clang-tidy reads the compile
# commands of a configure-only build (build/lint); it passes over the fuzz
# harnesses (their libFuzzer header comes with clang), the C reader of make
# interop (libcbor's header) and the embedding host of tests/embed, which its
# own test builds warnings-clean. actionlint checks the workflows' shell with
# the pinned ShellCheck, and without pyflakes (no step has `shell: python`).
.PHONY: lint format
LINT_BUILD := build/lint
LINT_FILES = $(BIN)/python scripts/lint_files

$(BIN)/clang-tidy: lint-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r lint-requirements.txt
	touch $@

lint: $(BIN)/clang-tidy $(BIN)/cmake ## check the format, then ruff, ShellCheck, actionlint, the Dependabot and Read the Docs files and clang-tidy; fails on any finding
	$(LINT_FILES) c c++ -- $(BIN)/clang-format --dry-run -Werror
	$(LINT_FILES) python pyi -- $(BIN)/ruff format --check --quiet
	$(LINT_FILES) python pyi -- $(BIN)/ruff check --quiet
	$(LINT_FILES) shell -- $(BIN)/shellcheck
	$(BIN)/actionlint -shellcheck=$(abspath $(BIN)/shellcheck) -pyflakes=
	$(BIN)/check-jsonschema --builtin-schema vendor.dependabot .github/dependabot.yml
	$(BIN)/check-jsonschema --builtin-schema vendor.readthedocs .readthedocs.yaml
	$(BIN)/cmake -S . -B $(LINT_BUILD) $(NINJA_ARGS) --log-level=WARNING \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_ALLOC_FAULTS=ON -DVELDSPRAY_CODEC_BENCH=ON -DVELDSPRAY_DLOPEN_TEST=ON
	$(BIN)/python $(BIN)/run-clang-tidy.py -clang-tidy-binary $(BIN)/clang-tidy -p $(LINT_BUILD) -quiet -hide-progress

format: $(BIN)/clang-tidy ## rewrite the C++, C and Python files in the project's format
	$(LINT_FILES) c c++ -- $(BIN)/clang-format -i
	$(LINT_FILES) python pyi -- $(BIN)/ruff check --select I --fix --quiet
	$(LINT_FILES) python pyi -- $(BIN)/ruff format --quiet
