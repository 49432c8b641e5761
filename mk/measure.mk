# ---- Measurements: the benchmark and other languages' decoders ---------------
.PHONY: bench bench-publish codec-bench interop-readers interop interop-publish

$(BIN)/pyperf: bench/requirements.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r bench/requirements.txt
	touch $@

bench: install $(BIN)/pyperf ## time dumps against cbor2, msgpack, msgspec, orjson, json into build/bench (BENCH_ARGS=--quick)
	$(BIN)/python bench/run.py $(BENCH_ARGS)

bench-publish: ## copy the tables of the last full make bench into bench/README.md
	$(PYTHON) bench/publish.py

# Whole calls of the codec, without Python (bench/codec): glibc's allocator,
# musl's, and mimalloc bound as in the musl wheels. bench/codec_bench.py runs
# the three in turn, with sizes up to 100 MB, or 1 GB with CODEC_BENCH_GB=1
# (about 1 GB of memory per process); CODEC_BENCH_ARGS=--publish puts the
# tables into bench/README.md.
CODEC_BENCH := build/codec-bench
codec-bench: musl-runtime $(BIN)/python-zig $(BIN)/cmake build/mimalloc/fetched ## time and peak memory of the codec alone for glibc, musl, and musl with mimalloc (CODEC_BENCH_GB=1, CODEC_BENCH_ARGS=--publish)
	$(call cmake_target,$(CODEC_BENCH)/glibc,-DVELDSPRAY_CODEC_BENCH=ON,codec_bench)
	$(call cmake_target,$(CODEC_BENCH)/musl,-DVELDSPRAY_CODEC_BENCH=ON $(MUSL_TOOLCHAIN),codec_bench)
	$(call cmake_target,$(CODEC_BENCH)/musl-mimalloc,-DVELDSPRAY_CODEC_BENCH=ON $(MUSL_MIMALLOC),codec_bench)
	$(BIN)/python bench/codec_bench.py $(addsuffix /bench/codec/codec_bench,$(addprefix $(CODEC_BENCH)/,glibc musl \
		musl-mimalloc)) $(if $(CODEC_BENCH_GB),--gigabyte) $(CODEC_BENCH_ARGS)

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
