# The add-on's version has one source: the `version` of addon/.../blender_manifest.toml. The
# build bakes it into the compiled modules (tavro_version.hpp) and writes it into the package's
# manifest and bl_info, so that a package always states the version its modules were built as.
# -DTAVRO_VERSION=X.Y.Z builds another version from the same sources (a test's next release).
set(TAVRO_MANIFEST ${CMAKE_SOURCE_DIR}/addon/tavro_blender_uploader/blender_manifest.toml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAVRO_MANIFEST})
file(STRINGS ${TAVRO_MANIFEST} _version_line REGEX "^version = \"[^\"]+\"")
string(REGEX REPLACE "^version = \"([^\"]+)\".*" "\\1" TAVRO_MANIFEST_VERSION "${_version_line}")
if(NOT TAVRO_MANIFEST_VERSION)
  message(FATAL_ERROR "no version line in ${TAVRO_MANIFEST}")
endif()
if(NOT TAVRO_VERSION)
  set(TAVRO_VERSION ${TAVRO_MANIFEST_VERSION})
endif()
if(NOT TAVRO_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)([-+].*)?$")
  message(FATAL_ERROR "version ${TAVRO_VERSION} is not MAJOR.MINOR.PATCH")
endif()
set(TAVRO_VERSION_MAJOR ${CMAKE_MATCH_1})
set(TAVRO_VERSION_MINOR ${CMAKE_MATCH_2})
set(TAVRO_VERSION_PATCH ${CMAKE_MATCH_3})
set(TAVRO_VERSION_HEADER_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/src/modules/version.hpp.in
               ${TAVRO_VERSION_HEADER_DIR}/tavro_version.hpp @ONLY)
