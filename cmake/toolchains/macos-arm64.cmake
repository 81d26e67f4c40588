# macOS on Apple Silicon, from 11.0: the first macOS for that hardware, and the oldest that
# Blender 3.x runs on there.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(TAVRO_ZIG_TARGET aarch64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/../cross/zig.cmake)
