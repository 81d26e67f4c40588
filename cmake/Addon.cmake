# Lays the Python files of the add-on beside the compiled modules, so that
# ${CMAKE_BINARY_DIR}/addon/tavro_blender_uploader is the package exactly as Blender loads it.
# The manifest and bl_info get the version the modules are built as (cmake/Version.cmake).
file(GLOB TAVRO_ADDON_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/addon/tavro_blender_uploader/*)
set(TAVRO_ADDON_COPIES "")
set(stamp ${CMAKE_SOURCE_DIR}/cmake/stamp_version.cmake)
set(version_header ${TAVRO_VERSION_HEADER_DIR}/tavro_version.hpp)
foreach(src ${TAVRO_ADDON_FILES})
  get_filename_component(fname ${src} NAME)
  set(dst ${TAVRO_PACKAGE_DIR}/${fname})
  add_custom_command(OUTPUT ${dst}
    COMMAND ${CMAKE_COMMAND} -DSRC=${src} -DDST=${dst} -DVERSION=${TAVRO_VERSION}
            "-DVERSION_TUPLE=(${TAVRO_VERSION_MAJOR}, ${TAVRO_VERSION_MINOR}, ${TAVRO_VERSION_PATCH})"
            -P ${stamp}
    DEPENDS ${src} ${stamp} ${version_header} VERBATIM)
  list(APPEND TAVRO_ADDON_COPIES ${dst})
endforeach()
add_custom_target(addon_files ALL DEPENDS ${TAVRO_ADDON_COPIES})
