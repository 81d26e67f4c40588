"""The add-on installed as a user installs it, for host scripts run inside Blender (render_harness,
tests/gui): from the package zip, as a legacy add-on in Blender 3.x–4.1 and as an extension in
4.2 and later."""

import bpy


def install(zip_path):
    """Installs and enables the zip's add-on; the name it is loaded under."""
    if bpy.app.version >= (4, 2, 0):
        bpy.ops.extensions.package_install_files(
            filepath=zip_path, repo="user_default", enable_on_install=True)
        return "bl_ext.user_default.tavro_blender_uploader"
    bpy.ops.preferences.addon_install(filepath=zip_path, overwrite=True)
    bpy.ops.preferences.addon_enable(module="tavro_blender_uploader")
    return "tavro_blender_uploader"
