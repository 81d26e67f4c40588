# What the modules need of Python when built for another platform: Debian's CPython headers
# with this project's pyconfig.h for the target in their place, and on Windows an import
# library of python3.dll made from the stable-ABI list.
find_package(Python3 3.10 REQUIRED COMPONENTS Interpreter)

# Python.h includes "pyconfig.h" from its own folder, so the headers are staged beside ours.
set(TAVRO_DEBIAN_PYTHON_INCLUDE /usr/include/python3.11)
if(NOT EXISTS ${TAVRO_DEBIAN_PYTHON_INCLUDE}/Python.h)
  message(FATAL_ERROR "CPython headers missing: install python3-dev")
endif()
set(Python3_INCLUDE_DIRS ${CMAKE_BINARY_DIR}/python-include)
file(COPY ${TAVRO_DEBIAN_PYTHON_INCLUDE}/ DESTINATION ${Python3_INCLUDE_DIRS}
     PATTERN pyconfig.h EXCLUDE PATTERN internal EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/pyconfig.h ${Python3_INCLUDE_DIRS}/pyconfig.h COPYONLY)

if(WIN32)
  set(_def ${CMAKE_BINARY_DIR}/python3/python3.def)
  set(_lib ${CMAKE_BINARY_DIR}/python3/libpython3.dll.a)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
    set(_machine arm64)
  else()
    set(_machine i386:x86-64)
  endif()
  add_custom_command(OUTPUT ${_lib}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/abi/python3_def.py ${_def}
    COMMAND ${TAVRO_ZIG} dlltool -m ${_machine} -d ${_def} -l ${_lib}
    DEPENDS ${CMAKE_SOURCE_DIR}/scripts/abi/python3_def.py ${CMAKE_SOURCE_DIR}/scripts/abi/stable_abi.py
    COMMENT "Import library of python3.dll")
  add_custom_target(python3_import_library DEPENDS ${_lib})
  add_library(tavro_python3 INTERFACE)
  target_link_libraries(tavro_python3 INTERFACE ${_lib})
  add_dependencies(tavro_python3 python3_import_library)
endif()

if(APPLE)
  # zig's Mach-O linker crashes on -bundle; Python's dlopen loads a dylib just as well.
  string(REPLACE "-bundle" "-shared" CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS
                 "${CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS}")
endif()
