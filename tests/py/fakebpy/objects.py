"""Objects for the recording fake host: the data collections of objects, cameras and actions, a
scene's objects, and keyframes. Writes on an object land in the fake's log under
"object.<name>.<attribute>"; creating, linking, keying and removing are logged as calls.

    add_objects(fake)
    bar = add_mesh(fake, "Bar", (0, -0.5, 0), (4, 0.5, 1), location=(3, 2, 0.5))
"""

import types

from . import Recorder


class DataCollection:
    """bpy.data.objects / cameras / actions: new, remove, get, iteration."""

    def __init__(self, fake, kind, make):
        self._fake, self._kind, self._make, self.items = fake, kind, make, []

    def __iter__(self):
        return iter(self.items)

    def names(self):
        return sorted(item.name for item in self.items)

    def get(self, name):
        return next((item for item in self.items if item.name == name), None)

    def new(self, name, *args):
        self._fake._call(self._kind + ".new", {"name": name})
        unique, n = name, 0
        while self.get(unique) is not None:
            n += 1
            unique = f"{name}.{n:03d}"
        item = self._make(self._fake, unique, *args)
        self.items.append(item)
        return item

    def remove(self, item):
        self._fake._call(self._kind + ".remove", {"name": item.name})
        self.items.remove(item)
        for scene in self._fake.data.scenes:
            if item in scene.objects.items:
                scene.objects.items.remove(item)


class Action:
    def __init__(self, fake, name):
        self.name, self.keys = name, []


class CameraData(Recorder):
    def __init__(self, fake, name):
        super().__init__(fake, "camera." + name, name=name, lens=50.0, sensor_width=36.0,
                         sensor_fit="AUTO", clip_start=0.1, clip_end=100.0)


class FakeObject(Recorder):
    """An object with a bounding box (local corners) and a world matrix, as evaluated."""

    def __init__(self, fake, name, data=None, type=None, corners=(), location=(0, 0, 0)):
        matrix = [[1.0, 0, 0, location[0]], [0, 1.0, 0, location[1]], [0, 0, 1.0, location[2]],
                  [0, 0, 0, 1.0]]
        super().__init__(fake, "object." + name, name=name, data=data,
                         type=type or ("CAMERA" if isinstance(data, CameraData) else "EMPTY"),
                         bound_box=[tuple(c) for c in corners] or [(0.0, 0.0, 0.0)] * 8,
                         matrix_world=matrix, children_recursive=[], animation_data=None,
                         location=tuple(location), rotation_euler=(0.0, 0.0, 0.0),
                         rotation_mode="XYZ", hide_render=False)

    def evaluated_get(self, depsgraph):
        assert depsgraph == "depsgraph"
        return self

    def keyframe_insert(self, data_path, frame):
        self._fake._call("keyframe_insert", {"object": self.name, "data_path": data_path,
                                             "frame": frame})
        if self.animation_data is None:
            action = self._fake.data.actions.new(self.name + "Action")
            object.__setattr__(self, "animation_data", types.SimpleNamespace(action=action))
        self.animation_data.action.keys.append((data_path, frame, getattr(self, data_path)))
        return True


class SceneObjects:
    """A scene's objects (lookup by name) and its master collection, where objects are linked."""

    def __init__(self, fake):
        self._fake, self.items = fake, []
        self.link = self._link

    def __iter__(self):
        return iter(self.items)

    def get(self, name):
        return next((item for item in self.items if item.name == name), None)

    def _link(self, ob):
        self._fake._call("link", {"name": ob.name})
        self.items.append(ob)


def add_objects(fake):
    """Gives the fake and each of its scenes the object data, with the light and camera of
    Blender's default scene (no geometry)."""
    data = fake.data
    data.objects = DataCollection(fake, "objects", FakeObject)
    data.cameras = DataCollection(fake, "cameras", CameraData)
    data.actions = DataCollection(fake, "actions", Action)
    fake.context.evaluated_depsgraph_get = lambda: "depsgraph"
    for scene in data.scenes:
        objects = SceneObjects(fake)
        object.__setattr__(scene, "objects", objects)
        object.__setattr__(scene, "collection", types.SimpleNamespace(objects=objects))
        object.__setattr__(scene, "timeline_markers", [])
        object.__setattr__(scene, "background_set", None)
        object.__setattr__(scene, "frame_set", lambda frame, scene=scene: fake._call(
            "frame_set", {"scene": scene.name, "frame": frame}))
    light = data.objects.new("Light", None)
    object.__setattr__(light, "type", "LIGHT")
    fake.context.scene.objects.items.append(light)
    fake.context.scene.objects.items.append(data.objects.new("Camera", data.cameras.new("Camera")))
    fake.log.clear()


def add_marker(fake, name, frame, camera):
    """A timeline marker of the context's scene, bound to `camera`."""
    marker = Recorder(fake, "marker." + name, name=name, frame=frame, camera=camera)
    fake.context.scene.timeline_markers.append(marker)
    return marker


def add_mesh(fake, name, lo, hi, location=(0, 0, 0), parent=None):
    """A mesh object whose bounding box runs from `lo` to `hi`, in the context's scene; a
    `parent` lists it among its descendants."""
    corners = [(hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2])
               for i in range(8)]
    ob = FakeObject(fake, name, data=object(), type="MESH", corners=corners, location=location)
    fake.data.objects.items.append(ob)
    fake.context.scene.objects.items.append(ob)
    if parent is not None:
        parent.children_recursive.append(ob)
    return ob


def render_visibility(fake):
    """Each object's hide_render and the context scene's background set."""
    scene = fake.context.scene
    return {ob.name: ob.hide_render for ob in scene.objects}, scene.background_set


def data_names(fake):
    return {kind: getattr(fake.data, kind).names() for kind in ("objects", "cameras", "actions")}
