# Lays the Python files of the add-on beside the compiled modules, so that
# ${CMAKE_BINARY_DIR}/addon/tavro_blender_uploader is the package exactly as Blender loads it.
file(GLOB TAVRO_ADDON_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/addon/tavro_blender_uploader/*)
set(TAVRO_ADDON_COPIES "")
foreach(src ${TAVRO_ADDON_FILES})
  get_filename_component(fname ${src} NAME)
  set(dst ${TAVRO_PACKAGE_DIR}/${fname})
  add_custom_command(OUTPUT ${dst} COMMAND ${CMAKE_COMMAND} -E copy ${src} ${dst} DEPENDS ${src})
  list(APPEND TAVRO_ADDON_COPIES ${dst})
endforeach()
add_custom_target(addon_files ALL DEPENDS ${TAVRO_ADDON_COPIES})
