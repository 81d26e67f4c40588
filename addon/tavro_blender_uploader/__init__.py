"""Tavro uploader: send a white-model snapshot, animation or local video to the site's import page."""

bl_info = {
    "name": "Tavro Uploader",
    "author": "Tavro",
    "version": (0, 1, 0),
    "blender": (3, 1, 0),
    "location": "3D Viewport > Sidebar > Tavro",
    "description": "Render a white-model asset and hand it to the web import page",
    "category": "Import-Export",
}


def register():
    from . import panel

    panel.register()


def unregister():
    from . import panel

    panel.unregister()
