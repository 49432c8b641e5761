# ---- Distributions ----------------------------------------------------------
# Every wheel is cross-built by zig through the same pip, scikit-build-core
# and CMake path as make install, with a toolchain file of cmake/toolchains
# naming the target (glibc 2.17 for manylinux, musl for musllinux) and the
# target's CPython 3.10 suffixes; auditwheel gives it the tag its symbols
# allow. CMake and Ninja come from .venv on the PATH, so that the isolated
# build installs only pure-Python tools. Each wheel's symbols are checked
# against its libc and CPython 3.10 (scripts/check_wheel_symbols), each
# description for links that an index page cannot resolve
# (scripts/check_description), and the x86_64 manylinux wheel is tested
# installed. Every wheel's module binds the bundled allocator, mimalloc
# (allocator/), from the tree that the sdist carries too; scripts/musl_wheel_libc
# names a musl wheel's libc as musllinux systems do.
.PHONY: wheel wheels index-test
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
$(if $(findstring musl,$(1)),PATH=$(abspath $(BIN)):$$PATH scripts/musl_wheel_libc build/wheels/$(1) $(zig_arch))
PATH=$(abspath $(BIN)):$$PATH $(BIN)/auditwheel repair --wheel-dir dist build/wheels/$(1)/*.whl
$(BIN)/python scripts/check_wheel_symbols dist/*-$(if $(findstring musl,$(1)),musl,many)linux*_$(zig_arch).whl
endef

# $(call distributions,TARGETS): the sdist and a wheel for each target into
# dist/, the x86_64 manylinux one tested installed, after every wheel is built.
define distributions
rm -rf dist
$(BIN)/python -m build --sdist --outdir dist .
tar -tzf dist/*.tar.gz | grep -q '/allocator/mimalloc/src/static.c$$' || { echo "the sdist lacks mimalloc's source"; exit 1; }
$(foreach target,$(1),$(call zig_wheel,$(target))
)
$(BIN)/twine check --strict dist/*
$(BIN)/python scripts/check_description dist/*
ls -l dist
scripts/test_wheel $(PYTHON) dist/*-manylinux*_x86_64.whl $(WHEEL_TEST_VENV)
endef

wheel: $(BIN)/python-zig $(BIN)/cmake $(BIN)/auditwheel build/mimalloc/fetched ## sdist and the x86_64 manylinux wheel into dist/, checked, and tested installed without a compiler
	$(call distributions,x86_64-linux-gnu.2.17)

wheels: qemu-tools $(BIN)/cmake $(BIN)/auditwheel build/mimalloc/fetched ## that, and the aarch64 manylinux and x86_64 and aarch64 musllinux wheels, checked
	$(call distributions,x86_64-linux-gnu.2.17 aarch64-linux-gnu.2.17 x86_64-linux-musl aarch64-linux-musl)

# mimalloc's source for the bundled allocator, pinned with its hash
# (allocator/mimalloc-requirements.txt), into allocator/mimalloc, where the
# sdist carries it and CMake finds it. pip reads the sdist's metadata by
# building it, which the environment here reduces to a CMake configure.
MIMALLOC := allocator/mimalloc

build/mimalloc/fetched: allocator/mimalloc-requirements.txt allocator/mimalloc-build-pins.txt allocator/mimalloc-LICENSE \
		| $(BIN)/python
	rm -rf build/mimalloc $(MIMALLOC) && mkdir -p build/mimalloc $(MIMALLOC)
	PIP_CONSTRAINT=$(abspath allocator/mimalloc-build-pins.txt) CMEEL_RUN_TESTS=OFF \
		CMEEL_CMAKE_ARGS="-DMI_BUILD_SHARED=OFF -DMI_BUILD_STATIC=OFF -DMI_BUILD_OBJECT=OFF -DMI_BUILD_TESTS=OFF" \
		$(BIN)/python -m pip download --quiet --no-deps --no-binary cmeel-mimalloc \
		-r allocator/mimalloc-requirements.txt -d build/mimalloc
	tar -xzf build/mimalloc/cmeel_mimalloc-*.tar.gz -C $(MIMALLOC) --strip-components=2 --wildcards '*/mimalloc/*'
	cmp allocator/mimalloc-LICENSE $(MIMALLOC)/LICENSE
	touch $@

# Not part of make test: it needs the wheels, which take long to build cold.
index-test: ## serve dist/ (make wheel or make wheels) as a package index on localhost and install from it as a user would
	scripts/index_test $(PYTHON)
