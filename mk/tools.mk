# ---- Tools from Debian and PyPI ---------------------------------------------
# Every Debian package goes through scripts/apt_install, which installs what
# is missing or older than a stated minimum, leaves a newer version alone and
# prints the versions it found. No exact Debian version is named anywhere: a
# stable update replaces it, and the install would fail from that day on.
.PHONY: clang-tools qemu-tools cross-tools interop-tools musl-runtime jemalloc-runtime

# $(call apt_install,PACKAGES): each NAME or NAME>=MINIMUM.
apt_install = scripts/apt_install $(foreach package,$(1),'$(package)')

# clang, libFuzzer and the sanitizer runtimes of the checked builds; the
# packages are asked for only where clang or one of its runtimes is missing,
# so a clang from elsewhere serves as well. The runtimes' package is the
# unversioned one, which follows the distribution's default clang as clang and
# llvm do (14 on Debian 12, 18 on Ubuntu 24.04, CI's hosted runner).
CLANG_PACKAGES := clang>=1:14 libclang-rt-dev>=1:14 llvm>=1:14

clang-tools: ## install clang, libFuzzer and the sanitizer runtimes if missing
	@if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.fuzzer-$$(uname -m).a)" ] \
	    || [ ! -f "$$(clang -print-file-name=libclang_rt.asan-$$(uname -m).so)" ]; then \
		$(call apt_install,$(CLANG_PACKAGES)); \
	fi

# zig from PyPI cross-compiles for every target; Debian's qemu-user runs the
# Linux ones of other architectures (with the arm64 loader and libc for
# glibc binaries: the wheels' symbol check needs them too), and wine64 the
# Windows ones. zig keeps the C libraries and C++ runtimes that it builds for
# each target (minutes each) in the user's cache, ~/.cache/zig, keyed on the
# files of this installation: later builds of the checkout find them there,
# a fresh checkout, whose .venv installs zig anew, builds them again.
ZIG := $(abspath $(BIN)/python-zig)
WINE := /usr/lib/wine/wine64

$(BIN)/python-zig: tests/cross-requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r tests/cross-requirements.txt
	touch $@

qemu-tools: $(BIN)/python-zig ## install zig (pinned, into .venv), and qemu-user and the arm64 libc if missing
	$(call apt_install,qemu-user-static>=1:7.2 libc6-arm64-cross>=2.36)

cross-tools: qemu-tools ## that, and wine64 if missing
	$(call apt_install,wine64>=8.0~)

# musl's loader and C library (as an Alpine system has them), for the
# programs that zig links dynamically against musl (make dlopen-test, make
# codec-bench).
musl-runtime: ## install musl's loader and C library if missing
	$(call apt_install,musl>=1.2.3)

# Debian's jemalloc, which a test of the module preloads in place of the C
# library's malloc (tests/test_interpreters.py; skipped where it is missing).
jemalloc-runtime: ## install jemalloc if missing
	$(call apt_install,libjemalloc2>=5.3)

# The decoders of make interop and their toolchains, at least the versions
# that interop/README.md describes; its tables name the versions of each run.
# The JDK and Node.js are asked for only where none is on the PATH, since any
# recent one runs the readers. Jackson's core is named beside its CBOR module,
# whose jar the Java reader has on its class path too. Rust builds offline
# against Debian's crates (interop/readers/.cargo/config.toml) with its cargo.
INTEROP_PACKAGES = libcbor-dev>=0.8.0 golang-go>=2:1.19~ golang-github-fxamacker-cbor-dev>=2.4.0 cargo>=0.66.0 \
	rustc>=1.63.0 librust-serde-cbor-dev>=0.11.2 libjackson2-dataformat-cbor>=2.7.8 libjackson2-core-java>=2.14 \
	node-cbor>=8.1.0 libcbor-xs-perl>=1.86 ruby-cbor>=0.5.9 $(if $(shell command -v javac),,openjdk-17-jdk-headless>=17) \
	$(if $(shell command -v node),,nodejs>=18)

interop-tools: ## install the decoders of make interop and their toolchains (Debian packages) if missing or older
	$(call apt_install,$(INTEROP_PACKAGES))
