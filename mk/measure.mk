# ---- Measurements: the benchmark and other languages' decoders ---------------
.PHONY: bench bench-publish codec-bench instructions bench-memory interop-readers interop interop-publish

$(BIN)/pyperf: bench/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r bench/requirements.txt
	touch $@

bench: install $(BIN)/pyperf ## time dumps, as make install builds it, against cbor2, msgpack, msgspec, orjson, json into build/bench (BENCH_ARGS=--quick)
	$(BIN)/python bench/run.py $(BENCH_ARGS)

# The module with the C library's allocator, beside the one that make install
# builds with the bundled allocator, for the two comparisons below.
LIBC_MODULE := build/libc-module
$(LIBC_MODULE)/installed: $(MODULE_FILES) | $(BIN)/python
	rm -rf $(LIBC_MODULE)
	$(BIN)/python -m pip install --quiet --no-deps --target $(LIBC_MODULE) -C build-dir=build/libc-module-build \
		-C cmake.define.VELDSPRAY_ALLOCATOR=libc .
	touch $@

# callgrind's instructions per call of the installed module and of the one
# with the C library's allocator, on the documents (VELDSPRAY_BENCH_DATA or
# examples/data), lists of 20,000 items and the tiny inputs (a few minutes).
instructions: install $(LIBC_MODULE)/installed ## callgrind's instructions per call of dumps with the bundled allocator and with the C library's
	$(call apt_install,valgrind>=1:3.19)
	$(BIN)/python bench/instructions.py $(LIBC_MODULE)

# One call per process from 9 KB to 100 MB of output, or 1 GB with
# BENCH_MEMORY_ARGS=--gigabyte: what stays resident after it, and its peak.
bench-memory: install $(LIBC_MODULE)/installed ## resident memory after one call and its peak, with the bundled allocator and with the C library's
	$(BIN)/python bench/memory.py $(LIBC_MODULE) $(BENCH_MEMORY_ARGS)

bench-publish: ## copy the tables of the last full make bench into bench/README.md
	$(PYTHON) bench/publish.py

# Whole calls of the codec, without Python (bench/codec): glibc's allocator,
# musl's, and mimalloc bound to each as in the wheels. bench/codec_bench.py runs
# the four in turn, with sizes up to 100 MB, or 1 GB with CODEC_BENCH_GB=1
# (about 1 GB of memory per process); CODEC_BENCH_ARGS=--publish puts the
# tables into bench/README.md.
CODEC_BENCH := build/codec-bench
codec-bench: musl-runtime $(BIN)/python-zig $(BIN)/cmake build/mimalloc/fetched ## time and peak memory of the codec alone for glibc and musl, each with and without mimalloc (CODEC_BENCH_GB=1, CODEC_BENCH_ARGS=--publish)
	$(call cmake_target,$(CODEC_BENCH)/glibc,-DVELDSPRAY_CODEC_BENCH=ON,codec_bench)
	$(call cmake_target,$(CODEC_BENCH)/glibc-mimalloc,-DVELDSPRAY_CODEC_BENCH=ON -DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC)),codec_bench)
	$(call cmake_target,$(CODEC_BENCH)/musl,-DVELDSPRAY_CODEC_BENCH=ON $(MUSL_TOOLCHAIN),codec_bench)
	$(call cmake_target,$(CODEC_BENCH)/musl-mimalloc,-DVELDSPRAY_CODEC_BENCH=ON $(MUSL_MIMALLOC),codec_bench)
	$(BIN)/python bench/codec_bench.py $(addsuffix /bench/codec/codec_bench,$(addprefix $(CODEC_BENCH)/,glibc \
		glibc-mimalloc musl musl-mimalloc)) $(if $(CODEC_BENCH_GB),--gigabyte) $(CODEC_BENCH_ARGS)

# make interop has decoders in seven other languages read what dumps writes
# (interop/measure.py); a maintainer runs it before a release. The Java
# reader needs no build: java runs its source file.
INTEROP := build/interop

interop-readers: interop-tools
	mkdir -p $(INTEROP)
	cc -std=c11 -O2 -Wall -Wextra -Werror -D_GNU_SOURCE interop/readers/read_libcbor.c -o $(INTEROP)/read_libcbor -lcbor
	GO111MODULE=off GOPATH=/usr/share/gocode GOCACHE=$(abspath $(INTEROP)/go-cache) \
		/usr/bin/go build -o $(INTEROP)/read_fxamacker interop/readers/read_fxamacker.go
	cd interop/readers && RUSTC=/usr/bin/rustc /usr/bin/cargo build --quiet --release --offline --locked \
		--target-dir $(abspath $(INTEROP)/rust)

interop: interop-readers install $(BIN)/cbor2 ## how decoders in C, Go, Rust, Java, JavaScript, Perl, Ruby and cbor2 read dumps' output (build/interop)
	nice -n 19 $(BIN)/python interop/measure.py $(INTEROP_ARGS)

# Publishing copies a table: it needs neither the module nor cbor2.
interop-publish: ## copy the tables of the last make interop into interop/README.md
	PYTHONPATH=bench $(PYTHON) interop/measure.py --publish
