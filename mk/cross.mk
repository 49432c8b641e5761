# ---- Other platforms --------------------------------------------------------
# Built by zig, run by qemu-user and wine (make cross-tools).
.PHONY: codec-cross codec-mimalloc-test stack-cross dlopen-test

# The codec's tests on s390x, which is big-endian, and on x86_64 and aarch64
# with the allocator that the musl wheels carry: built by zig statically
# against musl, run by ctest (under qemu-user for another architecture).
# $(call codec_cross,TARGET,CMAKE ARGUMENTS[,TESTS]) builds and runs the named
# codec tests (writer, reader, ...), or all of them.
space := $(subst ,, )
define codec_cross
PATH=$(abspath $(BIN)):$$PATH $(BIN)/cmake -S . -B build/codec-$(1) $(NINJA_ARGS) \
	-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/$(1).cmake) \
	$(if $(filter $(zig_arch),$(shell uname -m)),,-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$(zig_arch)-static) \
	-DVELDSPRAY_BUILD_MODULE=OFF -DVELDSPRAY_CODEC_TESTS=ON -DVELDSPRAY_WERROR=ON $(2)
$(BIN)/cmake --build build/codec-$(1) $(if $(3),--target $(addprefix codec_test_,$(3)))
$(BIN)/ctest --test-dir build/codec-$(1) --output-on-failure $(if $(3),-R '^codec_($(subst $(space),|,$(3)))$$')
endef

codec-cross: cross-tools $(BIN)/cmake build/mimalloc/fetched ## the codec's tests built by zig for s390x (big-endian), and for x86_64 and aarch64 with mimalloc, run (aarch64 and s390x under qemu-user)
	$(call codec_cross,s390x-linux-musl)
	$(call codec_cross,x86_64-linux-musl,-DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC)))
	$(call codec_cross,aarch64-linux-musl,-DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC)))

# Part of make test: the tests that the bundled allocator is linked into (the
# allocation-failure test wraps the C allocator itself), without wine.
MIMALLOC_CODEC_TESTS := writer reader float_property
codec-mimalloc-test: qemu-tools $(BIN)/cmake build/mimalloc/fetched ## the codec's tests with the bundled allocator, built by zig for x86_64 and aarch64 (run under qemu-user)
	$(call codec_cross,x86_64-linux-musl,-DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC)),$(MIMALLOC_CODEC_TESTS))
	$(call codec_cross,aarch64-linux-musl,-DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC)),$(MIMALLOC_CODEC_TESTS))

# The codec's benchmark and the dlopen test, each built natively for glibc and
# by zig for x86_64 musl, with or without the bundled allocator: $(call
# cmake_target,DIRECTORY,CMAKE ARGUMENTS,TARGET) configures and builds TARGET.
MUSL_TOOLCHAIN = -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/toolchains/x86_64-linux-musl.cmake)
MUSL_MIMALLOC = $(MUSL_TOOLCHAIN) -DVELDSPRAY_MIMALLOC=$(abspath $(MIMALLOC))
define cmake_target
PATH=$(abspath $(BIN)):$$PATH $(BIN)/cmake -S . -B $(1) $(NINJA_ARGS) --log-level=WARNING -DVELDSPRAY_BUILD_MODULE=OFF \
	-DVELDSPRAY_WERROR=ON $(2)
$(BIN)/cmake --build $(1) --target $(3)
endef

# The module's allocator where no CPython for musl can be had: a program
# linked dynamically against musl (Debian's musl loader) loads the dlopen
# test's library, built as the musl module is, and writes documents from
# eight threads at once that must equal the glibc build's (tests/dlopen).
# The musl side is built by zig directly, with the flags that CMake gives the
# module and the allocator (allocator/compile_flags.txt) and a --wrap for each
# __wrap_ function of allocator/bind.c: through CMake, zig would first build
# a C++ runtime for the target to identify the compiler (3 minutes cold),
# which nothing here links.
DLOPEN_TEST := build/dlopen-test
DLOPEN_MUSL := $(DLOPEN_TEST)/musl
DLOPEN_SOURCES := cbor/buffer.cpp cbor/float.cpp cbor/reader.cpp bench/codec/documents.cpp encoder/stack_bounds.cpp \
	tests/dlopen/library.cpp
ZIG_MUSL = $(ZIG) cc -target x86_64-linux-musl
MODULE_FLAGS := -std=c++17 -O3 -DNDEBUG -flto -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions \
	-Wall -Wextra -Wpedantic -Wshadow -Werror -Icbor -Ibench/codec -Iencoder
ALLOCATOR_FLAGS = -O3 -DNDEBUG -fPIC -DMI_LIBC_MUSL=1 $(shell grep '^-' allocator/compile_flags.txt) \
	-I$(MIMALLOC)/include -I$(MIMALLOC)/src
comma := ,
lparen := (
ALLOCATOR_WRAP = $(patsubst __wrap_%$(lparen),-Wl$(comma)--wrap=%,$(shell grep -o '__wrap_[a-z_]*$(lparen)' allocator/bind.c))

$(DLOPEN_MUSL)/libdlopen_documents.so: $(DLOPEN_SOURCES) $(wildcard cbor/*.h) bench/codec/documents.h encoder/stack_bounds.h allocator/bind.c \
		allocator/compile_flags.txt tests/dlopen/exports.map build/mimalloc/fetched | $(BIN)/python-zig
	mkdir -p $(@D)
	$(ZIG_MUSL) -c $(ALLOCATOR_FLAGS) allocator/bind.c -o $(@D)/bind.o
	for source in $(DLOPEN_SOURCES); do \
		$(ZIG) c++ -target x86_64-linux-musl -c $(MODULE_FLAGS) $$source -o $(@D)/$$(basename $$source .cpp).o || exit 1; done
	$(ZIG_MUSL) -shared -O3 -flto $(addprefix $(@D)/,$(notdir $(DLOPEN_SOURCES:.cpp=.o))) $(@D)/bind.o $(ALLOCATOR_WRAP) \
		-Wl,--version-script=tests/dlopen/exports.map -o $@

# musl gives a program's threads the stack size in its GNU_STACK header when
# that is above its own default of 128 KiB; zig writes 16 MiB there, so the
# link states 128 KiB, which C programs built otherwise get.
$(DLOPEN_MUSL)/dlopen_host: tests/dlopen/host.c | $(BIN)/python-zig
	mkdir -p $(@D)
	$(ZIG_MUSL) -dynamic -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -Wl,-z,stack-size=131072 $< -o $@

dlopen-test: musl-runtime $(BIN)/cmake $(DLOPEN_MUSL)/libdlopen_documents.so $(DLOPEN_MUSL)/dlopen_host ## the musl module's allocator loaded by dlopen into a musl program, several threads at once
	$(call cmake_target,$(DLOPEN_TEST)/glibc,-DVELDSPRAY_DLOPEN_TEST=ON,dlopen_host dlopen_documents)
	cd $(DLOPEN_TEST)/glibc/tests/dlopen && ./dlopen_host ./libdlopen_documents.so write $(abspath $(DLOPEN_TEST))/glibc.cbor
	cd $(DLOPEN_MUSL) && ./dlopen_host ./libdlopen_documents.so check $(abspath $(DLOPEN_TEST))/glibc.cbor

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
