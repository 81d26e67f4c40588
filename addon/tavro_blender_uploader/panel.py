"""Registration layer: declares the scene properties, the send operator and the panel to Blender.

Blender reads these declarations from the classes themselves, so they live here in Python; the
flow of a send and the drawing of the panel live in the compiled `ops` module, and everything
below only forwards to it.
"""

import atexit

import bpy

from . import config, ops

# The choices' identifiers are the keys `ops` looks up, in the order of its tables; the labels
# of the sources are the panel's own (a source without one fails registration).
SOURCE_LABELS = {
    "SNAPSHOT": ("白模快照", "当前帧的白模静帧（PNG）"),
    "ANIMATION": ("白模动画", "帧范围的白模动画（H.264 MP4）"),
    "VIDEO": ("本地视频", "磁盘上的视频文件，统一转为 H.264 MP4"),
    "TURNTABLE": ("白模转台", "所选对象转一圈的白模视频（H.264 MP4）"),
}
SOURCES = tuple((key, *SOURCE_LABELS[key]) for key in ops._SOURCES)
RESOLUTIONS = tuple((key, label, "长边 %d 像素" % edge)
                    for key, label, edge in config.RESOLUTION_PRESETS)
ASPECTS = tuple((key, label, "宽高比 %d:%d" % (w, h)) for key, label, w, h in ops._ASPECTS)

# `search=` on text properties exists from Blender 3.3 on; older hosts get a plain name field.
HAS_STRING_SEARCH = bpy.app.version >= (3, 3, 0)


def _camera_names(self, context, edit_text):
    # The group lives on a scene: offer that scene's camera objects.
    return [ob.name for ob in self.id_data.objects if ob.type == "CAMERA"]


def _object_names(self, context, edit_text):
    return [ob.name for ob in self.id_data.objects]


def _name_property(name, description, search):
    options = dict(name=name, description=description, default="")
    if HAS_STRING_SEARCH:
        options.update(search=search, search_options={"SORT"})
    return bpy.props.StringProperty(**options)


# The frame range follows the scene's own range until the user sets a value of their own; the
# chosen value is kept in the group under a private key.
def _frame_property(name, label):
    key = "_" + name

    def get(self):
        value = self.get(key)
        return getattr(self.id_data, name) if value is None else value

    def set(self, value):
        self[key] = value

    return bpy.props.IntProperty(
        name=label, description=label + "帧（默认取场景的帧范围）", get=get, set=set)


class LUMO_PG_uploader(bpy.types.PropertyGroup):
    source: bpy.props.EnumProperty(name="来源", items=SOURCES, default=SOURCES[0][0])
    video_path: bpy.props.StringProperty(
        name="视频文件", description="要转换的本地视频文件", default="", subtype="FILE_PATH")
    camera: _name_property("相机", "渲染所用的相机（场景中相机对象的名称）", _camera_names)
    target: _name_property("对象", "转台展示的对象（留空则用活动对象）", _object_names)
    turntable_seconds: bpy.props.IntProperty(
        name="时长", description="转一圈所用的秒数", default=6, min=1,
        max=config.MAX_VIDEO_SECONDS)
    turntable_others: bpy.props.BoolProperty(
        name="包含场景中的其他对象",
        description="转台中也渲染场景里的其他对象（默认只渲染所选对象及其子对象）", default=False)
    resolution: bpy.props.EnumProperty(name="分辨率", items=RESOLUTIONS, default=RESOLUTIONS[0][0])
    aspect: bpy.props.EnumProperty(name="宽高比", items=ASPECTS, default=ASPECTS[0][0])
    frame_start: _frame_property("frame_start", "起始")
    frame_end: _frame_property("frame_end", "结束")
    status: bpy.props.StringProperty(name="状态", description="上一次发送的结果", default="")


class LUMO_OT_send(bpy.types.Operator):
    """渲染白模素材（或转换本地视频），在浏览器中打开网站的导入页"""

    bl_idname = "lumo.send_to_canvas"
    bl_label = "发送到网页"
    bl_options = {"REGISTER"}

    def execute(self, context):
        return ops.execute_send(self, context)

    # From the interface a video renders as Blender's render job and the operator waits for it.
    def invoke(self, context, event):
        return ops.invoke_send(self, context, event)

    def modal(self, context, event):
        return ops.modal_send(self, context, event)

    def cancel(self, context):
        ops.cancel_send(self, context)


def _bridge_operator(name, idname, label, description, action):
    """An operator of the panel's bridge rows: `bridge` names the row, `action` of ops does it."""

    def execute(self, context):
        return getattr(ops, action)(self, context)

    return type(name, (bpy.types.Operator,), {
        "__doc__": description, "bl_idname": idname, "bl_label": label,
        "bl_options": {"INTERNAL"}, "execute": execute,
        "__annotations__": {"bridge": bpy.props.IntProperty(options={"HIDDEN"})}})


BRIDGE_OPERATORS = (
    _bridge_operator("LUMO_OT_open_import_page", "lumo.open_import_page", "打开导入页",
                     "在浏览器中再次打开这个素材的导入页", "open_import_page"),
    _bridge_operator("LUMO_OT_show_asset_file", "lumo.show_asset_file", "显示文件",
                     "在系统的文件管理器中显示素材文件", "show_asset_file"),
    _bridge_operator("LUMO_OT_stop_bridge", "lumo.stop_bridge", "停止",
                     "停止这个素材的本地服务（网页将无法再读取它）", "stop_bridge"),
)


class LUMO_PT_uploader(bpy.types.Panel):
    bl_idname = "LUMO_PT_uploader"
    bl_label = "Tavro 导入"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Tavro"

    def draw(self, context):
        ops.draw_panel(self, context)


CLASSES = (LUMO_PG_uploader, LUMO_OT_send, *BRIDGE_OPERATORS, LUMO_PT_uploader)


# A render job of a send is taken back before another file opens; these stay across file loads.
@bpy.app.handlers.persistent
def _file_closing(*args):
    ops.render_job_file_closing()


@bpy.app.handlers.persistent
def _file_opened(*args):
    ops.render_job_file_opened()


FILE_HANDLERS = (("load_pre", _file_closing), ("load_post", _file_opened))


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.Scene.lumo_uploader = bpy.props.PointerProperty(type=LUMO_PG_uploader)
    # Quitting Blender closes the bridges as disabling the add-on does.
    atexit.register(ops.stop_all_bridges)
    for name, handler in FILE_HANDLERS:
        getattr(bpy.app.handlers, name).append(handler)


def unregister():
    for name, handler in FILE_HANDLERS:
        if handler in getattr(bpy.app.handlers, name):
            getattr(bpy.app.handlers, name).remove(handler)
    ops.release_render_job()
    atexit.unregister(ops.stop_all_bridges)
    ops.stop_all_bridges()
    del bpy.types.Scene.lumo_uploader
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
