# ---- Other platforms --------------------------------------------------------
# Built by zig, run by qemu-user and wine (make cross-tools).
.PHONY: codec-cross stack-cross

# The codec's tests on s390x, which is big-endian, and on aarch64: built by
# zig statically against musl, run by ctest under qemu-user.
define codec_cross
PATH=$(abspath $(BIN)):$$PATH $(BIN)/cmake -S . -B build/codec-$(1) $(NINJA_ARGS) \
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
