# Cross-compiles with zig as the C and C++ compiler. Each toolchain file of
# this folder names one target, as a zig triple, and includes this one; zig
# (the python-zig of PyPI's ziglang, or zig) is taken from the PATH. zig brings
# the target's libc headers and link stubs (for glibc, those of the version in
# the triple) and links its own libc++ statically, so no sysroot is needed.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${VELDSPRAY_ZIG_TARGET}")

# zig builds the target's C library and runtimes (libc++, compiler_rt, ...) for
# the optimisation of the program it links, minutes of work for each target
# and mode: CMake's own checks link in the Release configuration, as the
# builds here do, rather than build a second, debug set of them.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)

find_program(ZIG NAMES python-zig zig REQUIRED)
set(CMAKE_C_COMPILER "${ZIG}" cc -target ${VELDSPRAY_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${VELDSPRAY_ZIG_TARGET})

# CMake runs an archiver as one program, without arguments of its own, and
# would otherwise pick an llvm-ar from the PATH that cannot read the bitcode
# of zig's link-time-optimised objects.
foreach(tool ar ranlib)
  set(script "${CMAKE_BINARY_DIR}/zig-${tool}")
  file(WRITE "${script}" "#!/bin/sh\nexec \"${ZIG}\" ${tool} \"$@\"\n")
  file(CHMOD "${script}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
       WORLD_EXECUTE)
  string(TOUPPER "${tool}" name)
  set(CMAKE_${name} "${script}" CACHE FILEPATH "")
  set(CMAKE_C_COMPILER_${name} "${script}" CACHE FILEPATH "")
  set(CMAKE_CXX_COMPILER_${name} "${script}" CACHE FILEPATH "")
endforeach()
