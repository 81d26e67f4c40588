# Windows 10 and later on x86-64 (MinGW-w64 ABI, UCRT).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAVRO_ZIG_TARGET x86_64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/../cross/zig.cmake)
# The C++ tests run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVRO_ROOT}/scripts/cross/wine)
