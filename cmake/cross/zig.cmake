# Cross builds with zig (the PyPI package `ziglang`, which scripts/bootstrap installs into
# .tools): clang, a linker, libc++ and the C library of every foreign target in one package.
# The platform's file sets TAVRO_ZIG_TARGET (a zig target, with the oldest OS version for
# Darwin) and CMAKE_SYSTEM_NAME/CMAKE_SYSTEM_PROCESSOR, then includes this one.
get_filename_component(TAVRO_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(TAVRO_ZIG "${TAVRO_ROOT}/.tools/bin/zig" CACHE FILEPATH "zig of the ziglang package")
if(NOT EXISTS "${TAVRO_ZIG}")
  message(FATAL_ERROR "zig not found at ${TAVRO_ZIG}: run scripts/bootstrap")
endif()
# zig builds libc++ and the C runtime once per target into its cache; one cache for every
# cross build keeps a second configuration (or the test build) from paying for it again.
if(DEFINED ENV{ZIG_GLOBAL_CACHE_DIR})
  set(TAVRO_ZIG_CACHE "$ENV{ZIG_GLOBAL_CACHE_DIR}")
else()
  set(TAVRO_ZIG_CACHE "${TAVRO_ROOT}/build-cross/zig-cache")
endif()

# CMake wants one program per tool, zig is one program with subcommands: small launchers.
set(_tools "${CMAKE_BINARY_DIR}/zig-${TAVRO_ZIG_TARGET}")
foreach(tool cc c++ ar ranlib)
  set(_target_arg "")
  if(tool MATCHES "^c")
    set(_target_arg "-target ${TAVRO_ZIG_TARGET}")
  endif()
  file(WRITE "${_tools}/${tool}"
    "#!/bin/sh\n"
    "export ZIG_GLOBAL_CACHE_DIR=\"${TAVRO_ZIG_CACHE}\" ZIG_LOCAL_CACHE_DIR=\"${TAVRO_ZIG_CACHE}\"\n"
    "exec \"${TAVRO_ZIG}\" ${tool} ${_target_arg} \"$@\"\n")
  file(CHMOD "${_tools}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_tools}/cc")
set(CMAKE_CXX_COMPILER "${_tools}/c++")
set(CMAKE_AR "${_tools}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_tools}/ranlib" CACHE FILEPATH "")

# Boost is header-only: its folder, and nothing else of the build machine's /usr/include.
set(_boost "${CMAKE_BINARY_DIR}/boost-include")
if(NOT EXISTS "${_boost}/boost")
  file(MAKE_DIRECTORY "${_boost}")
  file(CREATE_LINK /usr/include/boost "${_boost}/boost" SYMBOLIC)
endif()

# Everything hidden: zig's Mach-O linker ignores export lists, so visibility alone keeps
# PyInit_* the only export and libc++'s operator new/delete (see src/platform) and Boost's
# symbols (see boost_clang.hpp) private. Boost 1.74's Asio looks for std::result_of, which
# libc++ no longer has in C++20. Forced, so that a change here reaches configured builds.
set(CMAKE_C_FLAGS "-fvisibility=hidden" CACHE STRING "" FORCE)
set(CMAKE_CXX_FLAGS "-isystem ${_boost} -fvisibility=hidden -fvisibility-inlines-hidden \
-fvisibility-global-new-delete=force-hidden -DBOOST_ASIO_DISABLE_VISIBILITY \
-DBOOST_ASIO_HAS_STD_INVOKE_RESULT \
-DBOOST_COMPILER_CONFIG='\"${CMAKE_CURRENT_LIST_DIR}/boost_clang.hpp\"'" CACHE STRING "" FORCE)

# Headers and libraries of the build machine never belong to a foreign target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
