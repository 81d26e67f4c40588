"""Tavro uploader: send a white-model snapshot, animation or turntable, or a local video, to the
site's import page.

Blender 3.1 to 4.1 read `bl_info`; Blender 4.2 and later install the same package as an
extension from its blender_manifest.toml and load it as bl_ext.<repository>.tavro_blender_uploader.
"""

# "version" is written by the build from blender_manifest.toml, the one place it is set.
bl_info = {
    "name": "Tavro Uploader",
    "author": "Tavro",
    "version": (0, 1, 0),
    "blender": (3, 1, 0),
    "location": "3D Viewport > Sidebar > Tavro",
    "description": "Send a white-model render or a local video to the site's import page",
    "category": "Import-Export",
}


def register():
    from . import panel

    panel.register()


def unregister():
    from . import panel

    panel.unregister()
