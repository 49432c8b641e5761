set(VELDSPRAY_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
