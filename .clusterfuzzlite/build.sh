#!/bin/bash -eu
# Builds the fuzz harnesses into $OUT with the fuzzing engine's compilers and
# flags ($CC, $CXX, $CFLAGS, $CXXFLAGS, $LIB_FUZZING_ENGINE), each with its
# seed corpus, dictionary and options. The engine runs it in its image (see
# Dockerfile); make fuzz-engine-build runs it on this machine.
cd "$SRC/veldspray_cbor"

# The codec's harnesses, and below the module: the build type Debug adds only
# -g to the engine's flags, and keeps pybind11 from linking the module with
# LTO and stripping it.
cmake -S . -B "$WORK/codec" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELDSPRAY_BUILD_MODULE=OFF \
    -DVELDSPRAY_FUZZ=ON "-DVELDSPRAY_FUZZING_ENGINE=$LIB_FUZZING_ENGINE"
cmake --build "$WORK/codec"
cp "$WORK/codec/tests/fuzz/fuzz_reader" "$WORK/codec/tests/fuzz/fuzz_writer" "$OUT/"

# dumps, from Python: the module, compiled with the engine's flags (CMake
# takes them from the environment), installed into the Python 3.10 that runs
# the harness; the harness reads the tests' model of the encoding.
python3 -m pip install --quiet --no-deps --force-reinstall -C build-dir="$WORK/module" -C cmake.build-type=Debug .
compile_python_fuzzer tests/fuzz/fuzz_dumps.py --paths tests

for fuzzer in fuzz_reader fuzz_writer fuzz_dumps; do
    name=${fuzzer#fuzz_}
    (cd "tests/fuzz/corpus/$name" && python3 -m zipfile -c "$OUT/${fuzzer}_seed_corpus.zip" ./*)
    cp "tests/fuzz/$fuzzer.dict" "$OUT/"
    if [ -f "tests/fuzz/$fuzzer.options" ]; then cp "tests/fuzz/$fuzzer.options" "$OUT/"; fi
done
