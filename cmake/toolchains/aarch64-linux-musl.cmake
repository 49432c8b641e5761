set(VELDSPRAY_ZIG_TARGET aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
