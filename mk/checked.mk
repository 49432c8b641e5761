# ---- Checked builds: sanitizers, fuzzing, allocation faults, coverage -------
# They need clang, libFuzzer and the sanitizer runtimes (make clang-tools).
.PHONY: sanitize sanitize-codec sanitize-module fuzz-engine-build fuzz fuzz-long coverage
CLANG_ARGS = -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
SAN_VENV := .venv-sanitize
SAN_BIN := $(SAN_VENV)/bin
SAN_CODEC_BUILD := build/sanitize-codec
FUZZ_ENGINE := build/fuzz-engine
FUZZ_SECONDS ?= 20
FUZZ_RUNTIME := $(FUZZ_ENGINE)/asan_with_fuzzer.so

# Any report ends the process with an error. Leak checking stays on: at exit
# for the codec tests and fuzzers, and for pytest at the end of the session
# (tests/sanitizer/leak_check.py) rather than after the interpreter's own
# teardown, which leaves blocks behind that are not ours to check. Python
# allocates through malloc so that the sanitizer sees every object. NumPy,
# which the tests import, starts no BLAS worker thread: the tests need none,
# and one end-of-session leak check crashed in the leak checker's own
# stop-the-world tracer while that thread was alive. Nor does the runtime
# follow __tls_get_addr: clang 14's guesses a dynamic TLS block's bounds from
# the 16 bytes before it when the block starts 16 bytes into a page (as the
# module's thread-local block now and then does, by where the allocator puts
# it), and the tracer crashed on the range it read there. The blocks are
# still found through each thread's static TLS, which the check scans.
UBSAN_ENV = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 $(UBSAN_ENV)
PY_ENV = PYTHONMALLOC=malloc OPENBLAS_NUM_THREADS=1 ASAN_SYMBOLIZER_PATH=$(abspath tests/sanitizer/llvm-symbolizer)
PY_SAN_ENV = ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:intercept_tls_get_addr=0:allocator_may_return_null=1 $(UBSAN_ENV) $(PY_ENV) \
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)

sanitize: sanitize-codec sanitize-module ## codec tests and the pytest suite under ASan + UBSan

sanitize-codec: clang-tools $(BIN)/cmake ## the codec's tests under ASan + UBSan
	$(BIN)/cmake -S . -B $(SAN_CODEC_BUILD) $(NINJA_ARGS) $(CLANG_ARGS) -DVELDSPRAY_BUILD_MODULE=OFF \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_SANITIZE=ON -DVELDSPRAY_WERROR=ON
	$(BIN)/cmake --build $(SAN_CODEC_BUILD)
	$(SAN_ENV) $(BIN)/ctest --test-dir $(SAN_CODEC_BUILD) --output-on-failure

# The sanitized module, with the allocation-fault hooks, lives in its own
# virtual environment and build directory, apart from .venv.
$(SAN_BIN)/pytest: tests/requirements.txt tests/server-requirements.txt
	$(call new_venv,$(SAN_VENV))
	$(SAN_BIN)/python -m pip install --quiet -r tests/requirements.txt -r tests/server-requirements.txt
	touch $@

SAN_MODULE_ARGS = --quiet --no-deps --config-settings=cmake.build-type=RelWithDebInfo \
	--config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++ \
	--config-settings=cmake.define.VELDSPRAY_SANITIZE=ON --config-settings=cmake.define.VELDSPRAY_WERROR=ON

sanitize-module: clang-tools $(SAN_BIN)/pytest ## the pytest suite against the sanitized module
	$(SAN_BIN)/python -m pip install $(SAN_MODULE_ARGS) --force-reinstall \
		--config-settings=build-dir=build/sanitize-module \
		--config-settings=cmake.define.VELDSPRAY_ALLOC_FAULTS=ON .
	$(PY_SAN_ENV) PYTHONPATH=tests/sanitizer $(SAN_BIN)/python -m pytest -p leak_check

# The Python harness needs the libFuzzer that atheris drives loaded at start,
# with the sanitizer's runtime: the engine's image copies one such library
# into $OUT (sanitizer_with_fuzzer.so). Here it is linked from clang's static
# runtimes (without the sanitizer's .preinit_array entry, which a shared
# library may not have).
$(FUZZ_RUNTIME): | clang-tools
	rm -rf $(FUZZ_ENGINE)/runtime && mkdir -p $(FUZZ_ENGINE)/runtime
	cd $(FUZZ_ENGINE)/runtime && ar x "$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).a)" && rm asan_preinit.cpp.o
	clang++ -shared -o $@ $(FUZZ_ENGINE)/runtime/*.o -Wl,--whole-archive \
		"$$(clang -print-file-name=libclang_rt.asan_cxx-$$(uname -m).a)" \
		"$$(clang -print-file-name=libclang_rt.fuzzer_no_main-$$(uname -m).a)" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm

# The fuzzing engine's build (.clusterfuzzlite/build.sh), run here without a
# container, with the environment the engine gives it: its compilers and
# flags (ASan and UBSan; -Werror, as every other build), the source copied
# into $SRC with build.sh beside it, a fresh $OUT, and $WORK kept for
# incremental rebuilds. .venv-sanitize's Python 3.10 comes first on the PATH,
# and tests/fuzz/engine stands in for the image's compile_python_fuzzer. Then
# each fuzzer runs from its seed corpus (tests/fuzz/run_fuzzers), the harness
# of dumps against the module that build.sh installed into .venv-sanitize.
ENGINE_FLAGS := -O1 -fno-omit-frame-pointer -gline-tables-only -fsanitize=address -fsanitize-address-use-after-scope \
	-fsanitize=undefined -fno-sanitize-recover=undefined -fsanitize=fuzzer-no-link -Werror
ENGINE_ENV = SRC=$(abspath $(FUZZ_ENGINE)/src) OUT=$(abspath $(FUZZ_ENGINE)/out) WORK=$(abspath $(FUZZ_ENGINE)/work) \
	CC=clang CXX=clang++ CFLAGS="$(ENGINE_FLAGS)" CXXFLAGS="$(ENGINE_FLAGS)" LIB_FUZZING_ENGINE=-fsanitize=fuzzer \
	PATH=$(abspath tests/fuzz/engine):$(abspath $(SAN_BIN)):$$PATH

fuzz-engine-build: clang-tools $(SAN_BIN)/pytest $(FUZZ_RUNTIME) ## build the fuzzers with .clusterfuzzlite/build.sh and run each for FUZZ_SECONDS (20)
	rm -rf $(FUZZ_ENGINE)/src $(FUZZ_ENGINE)/out
	mkdir -p $(FUZZ_ENGINE)/src/veldspray_cbor $(FUZZ_ENGINE)/out $(FUZZ_ENGINE)/work
	git ls-files -z --cached --others --exclude-standard | xargs -0 cp -p --parents -t $(FUZZ_ENGINE)/src/veldspray_cbor
	cp .clusterfuzzlite/build.sh $(FUZZ_ENGINE)/src/
	cp $(FUZZ_RUNTIME) $(FUZZ_ENGINE)/out/sanitizer_with_fuzzer.so
	$(ENGINE_ENV) bash -eu $(FUZZ_ENGINE)/src/build.sh
	ls $(FUZZ_ENGINE)/out
	$(SAN_ENV) $(PY_ENV) tests/fuzz/run_fuzzers $(FUZZ_MERGE) $(FUZZ_ENGINE)/out $(FUZZ_ENGINE)/runs $(FUZZ_SECONDS)

fuzz: fuzz-engine-build ## the same: every fuzzer for FUZZ_SECONDS

fuzz-long: FUZZ_SECONDS = 600
fuzz-long: FUZZ_MERGE = --merge
fuzz-long: fuzz-engine-build ## each fuzzer for 10 minutes, then what it found that adds coverage merged into tests/fuzz/corpus/NAME

# clang's source-based coverage, read with llvm-cov: the toolchain of the
# checked builds, counting every template instance the encoder is made of.
# The codec tests and pytest (against the module with the allocation hooks,
# so that the MemoryError paths run too) count into a file per process (%c,
# continuous mode), which the children that pytest forks share with their
# parent. A failing test does not stop the report (make test is where
# failures count). The counted module comes first on the path; the typing
# test reads the types of .venv's installed copy (make install).
COVERAGE := build/coverage
COVERAGE_FLAGS := -fprofile-instr-generate -fcoverage-mapping -mllvm -runtime-counter-relocation
COVERAGE_ENV = LLVM_PROFILE_FILE=$(abspath $(COVERAGE))/profiles/%c%p.profraw

coverage: clang-tools install $(BIN)/pytest ## line and branch coverage of cbor/, encoder/ and module/ by every test
	rm -rf $(COVERAGE)/profiles
	$(BIN)/cmake -S . -B $(COVERAGE)/codec $(NINJA_ARGS) $(CLANG_ARGS) "-DCMAKE_CXX_FLAGS=$(COVERAGE_FLAGS)" \
		-DVELDSPRAY_BUILD_MODULE=OFF -DVELDSPRAY_CODEC_TESTS=ON
	$(BIN)/cmake --build $(COVERAGE)/codec
	$(COVERAGE_ENV) $(BIN)/ctest --test-dir $(COVERAGE)/codec --output-on-failure
	$(BIN)/python -m pip install --quiet --no-deps --upgrade --target $(COVERAGE)/site \
		--config-settings=build-dir=$(COVERAGE)/module --config-settings=cmake.build-type=RelWithDebInfo \
		--config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++ "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$(COVERAGE_FLAGS)" \
		--config-settings=cmake.define.VELDSPRAY_ALLOC_FAULTS=ON .
	-$(COVERAGE_ENV) PYTHONPATH=$(COVERAGE)/site $(BIN)/python -m pytest -q
	llvm-profdata merge -sparse $(COVERAGE)/profiles/*.profraw -o $(COVERAGE)/all.profdata
	llvm-cov report -instr-profile=$(COVERAGE)/all.profdata $(COVERAGE)/site/veldspray_cbor.*.so \
		$$(find $(COVERAGE)/codec/tests -type f -perm -u+x -name 'codec_test_*' -printf '-object=%p ') \
		-ignore-filename-regex='^/usr/|pybind11|python3|/tests/' | tee $(COVERAGE)/report.txt
	@awk -f scripts/coverage_by_folder.awk $(COVERAGE)/report.txt | sort
