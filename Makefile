# Each target sets up what it needs on a fresh machine: a virtual environment
# in .venv with pinned tools, and the module built from this checkout.
#   make demo   install the module and encode a real JSON document as CBOR
#   make test   build and run every test: the codec's own, all of them under
#               the sanitizers, the fuzzers briefly, then the module's tests
#   make sanitize   codec tests and the whole pytest suite under ASan + UBSan
#   make fuzz       each libFuzzer harness for FUZZ_SECONDS (default 30)
#   make fuzz-long  the same for FUZZ_SECONDS (default 600)
#   make bench  install the module and time dumps against cbor2, msgpack,
#               orjson and json; tables go to bench/results.md
#               (BENCH_ARGS=--quick for a rough run, --help for the options)

PYTHON := $(shell scripts/python310)
BIN := .venv/bin
CODEC_BUILD := build/codec

.PHONY: demo test install codec-test module-test bench

$(BIN)/python:
	$(PYTHON) -m venv .venv
	$(BIN)/python -m pip install --quiet --upgrade pip==24.3.1

$(BIN)/pytest: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/requirements.txt
	touch $@

$(BIN)/pyperf: bench/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r bench/requirements.txt
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

test: codec-test sanitize fuzz module-test

bench: install $(BIN)/pyperf
	$(BIN)/python bench/run.py $(BENCH_ARGS)

# ---- Checked builds: sanitizers, fuzzing, allocation faults -----------------
# They need clang, libFuzzer and the sanitizer runtimes; these are installed
# from Debian's packages when missing (a no-op where they are present).
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
NINJA_ARGS = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja)
CLANG_ARGS = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
SAN_VENV := .venv-sanitize
SAN_BIN := $(SAN_VENV)/bin
SAN_CODEC_BUILD := build/sanitize-codec
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 30
FUZZERS := reader writer

# Any report ends the process with an error. Leak checking stays on: at exit
# for the codec tests and fuzzers, and for pytest at the end of the session
# (tests/sanitizer/leak_check.py) rather than after the interpreter's own
# teardown, which leaves blocks behind that are not ours to check. Python
# allocates through malloc so that the sanitizer sees every object.
UBSAN_ENV = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 $(UBSAN_ENV)
PY_SAN_ENV = ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1 $(UBSAN_ENV) \
	PYTHONMALLOC=malloc ASAN_SYMBOLIZER_PATH=$(abspath tests/sanitizer/llvm-symbolizer) \
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)

clang-tools:
	@if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.fuzzer-$$(uname -m).a)" ] \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)" ]; then \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
		$(SUDO) apt-get install -y -qq clang libclang-rt-14-dev llvm; \
	fi

sanitize: sanitize-codec sanitize-module

sanitize-codec: clang-tools $(BIN)/pytest
	$(BIN)/cmake -S . -B $(SAN_CODEC_BUILD) $(NINJA_ARGS) $(CLANG_ARGS) \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_SANITIZE=ON -DVELDSPRAY_WERROR=ON
	$(BIN)/cmake --build $(SAN_CODEC_BUILD)
	$(SAN_ENV) $(BIN)/ctest --test-dir $(SAN_CODEC_BUILD) --output-on-failure

# The sanitized module, with the allocation-fault hooks, lives in its own
# virtual environment and build directory, apart from .venv.
$(SAN_BIN)/pytest: tests/requirements.txt
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_BIN)/python -m pip install --quiet --upgrade pip==24.3.1
	$(SAN_BIN)/python -m pip install --quiet -r tests/requirements.txt
	touch $@

sanitize-module: clang-tools $(SAN_BIN)/pytest
	$(SAN_BIN)/python -m pip install --quiet --force-reinstall --no-deps \
		--config-settings=build-dir=build/sanitize-module \
		--config-settings=cmake.build-type=RelWithDebInfo \
		--config-settings=cmake.define.CMAKE_C_COMPILER=clang \
		--config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++ \
		--config-settings=cmake.define.VELDSPRAY_SANITIZE=ON \
		--config-settings=cmake.define.VELDSPRAY_ALLOC_FAULTS=ON .
	$(PY_SAN_ENV) PYTHONPATH=tests/sanitizer $(SAN_BIN)/python -m pytest -p leak_check

fuzz-build: clang-tools $(BIN)/pytest
	$(BIN)/cmake -S . -B $(FUZZ_BUILD) $(NINJA_ARGS) $(CLANG_ARGS) -DVELDSPRAY_FUZZ=ON -DVELDSPRAY_WERROR=ON
	$(BIN)/cmake --build $(FUZZ_BUILD)

# Each harness starts from its committed corpus (tests/fuzz/corpus/NAME, read
# only) and keeps what it finds in build/fuzz/corpus-NAME. A crash input is
# written to build/fuzz/ and fails the target; -close_fd_mask=2 mutes the
# reader's messages about unimplemented codes, not libFuzzer's reports.
fuzz: fuzz-build
	@for name in $(FUZZERS); do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$name && \
		echo "fuzz_$$name: $(FUZZ_SECONDS) s" && \
		$(SAN_ENV) $(FUZZ_BUILD)/tests/fuzz/fuzz_$$name -max_total_time=$(FUZZ_SECONDS) \
			-close_fd_mask=2 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
			$(FUZZ_BUILD)/corpus-$$name tests/fuzz/corpus/$$name 2>$(FUZZ_BUILD)/fuzz_$$name.log \
			|| { tail -n 60 $(FUZZ_BUILD)/fuzz_$$name.log; exit 1; }; \
		grep -E '^(stat::number_of_executed_units|Done)' $(FUZZ_BUILD)/fuzz_$$name.log; \
	done

fuzz-long: FUZZ_SECONDS = 600
fuzz-long: fuzz
