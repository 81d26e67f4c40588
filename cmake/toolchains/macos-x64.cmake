# macOS on Intel, from 10.13: the oldest macOS that Blender 3.x runs on there (Blender 4.x and
# 5.x ask for more, so one module serves all of them).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVRO_ZIG_TARGET x86_64-macos.10.13)
include(${CMAKE_CURRENT_LIST_DIR}/../cross/zig.cmake)
