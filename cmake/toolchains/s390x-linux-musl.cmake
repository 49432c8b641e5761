set(VELDSPRAY_ZIG_TARGET s390x-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
