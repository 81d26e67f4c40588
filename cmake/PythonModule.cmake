# Extension modules for the CPython stable ABI: one binary per platform that loads in every
# Python from 3.10 on. The C++ runtime is linked in statically so that the modules depend on
# nothing but the C library and the Python they are loaded into.
if(CMAKE_CROSSCOMPILING)
  include(${CMAKE_CURRENT_LIST_DIR}/cross/python.cmake)
else()
  find_package(Python3 3.10 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

set(TAVRO_PACKAGE_DIR ${CMAKE_BINARY_DIR}/addon/tavro_blender_uploader)

function(tavro_python_module name)
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE tavro_py)
  target_include_directories(${name} PRIVATE ${TAVRO_VERSION_HEADER_DIR})
  target_compile_definitions(${name} PRIVATE Py_LIMITED_API=0x030A0000)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${TAVRO_PACKAGE_DIR})
  if(WIN32)
    set_target_properties(${name} PROPERTIES SUFFIX ".pyd")
    if(TARGET tavro_python3)
      target_link_libraries(${name} PRIVATE tavro_python3)
    elseif(TARGET Python3::SABIModule)
      target_link_libraries(${name} PRIVATE Python3::SABIModule)
    endif()
  else()
    set_target_properties(${name} PROPERTIES SUFFIX ".abi3.so")
    if(NOT CMAKE_CROSSCOMPILING)  # zig always links its libc++ statically
      target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
    if(NOT APPLE)
      # Keep the statically linked runtime's symbols private to each module.
      target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL -Wl,--as-needed
        -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/exports.map)
      if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${name} PRIVATE -fno-gnu-unique)
      endif()
    else()
      target_link_options(${name} PRIVATE -undefined dynamic_lookup)
      # Each module's own operator new/delete (kept out of its exports) and aligned_alloc.
      target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/platform/darwin_allocation.cpp)
    endif()
  endif()
endfunction()
