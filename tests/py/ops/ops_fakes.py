"""Recording stand-ins for what `ops` talks to: the host objects (operator, context, scene,
property group, layout) and the `render`, `webbrowser` and `bridge` modules."""

import json
import types
import urllib.request


class Props:
    """The scene's property group, recording the order in which properties are read."""

    def __init__(self, **values):
        defaults = dict(source="SNAPSHOT", video_path="", camera="Camera", resolution="hd",
                        aspect="16:9", frame_start=1, frame_end=48, status="", target="",
                        turntable_seconds=6, turntable_others=False)
        defaults.update(values)
        object.__setattr__(self, "_values", defaults)
        object.__setattr__(self, "reads", [])
        object.__setattr__(self, "writes", [])

    def __getattr__(self, name):
        self.reads.append(name)
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self.writes.append((name, value))
        self._values[name] = value


class Objects:
    def __init__(self, objects):
        self._by_name = {o.name: o for o in objects}
        self.lookups = []

    def get(self, name):
        self.lookups.append(name)
        return self._by_name.get(name)


def obj(name, type_):
    return types.SimpleNamespace(name=name, type=type_)


def scene(props=None, objects=None):
    if objects is None:
        objects = [obj("Camera", "CAMERA"), obj("Cube", "MESH")]
    return types.SimpleNamespace(lumo_uploader=props if props is not None else Props(),
                                 objects=Objects(objects))


def context(sc=None, active=None):
    """A context whose view layer's active object is `active` (None: no active object)."""
    return types.SimpleNamespace(
        scene=sc if sc is not None else scene(),
        view_layer=types.SimpleNamespace(objects=types.SimpleNamespace(active=active)))


class Operator:
    def __init__(self):
        self.reports = []

    def report(self, levels, message):
        self.reports.append((levels, message))


class Render:
    """The render module: records every call, returns (path, meta) or raises `error`."""

    def __init__(self, path="/tmp/lumo_stage_x.png", meta=None, error=None):
        self.path, self.meta, self.error = path, meta if meta is not None else {}, error
        self.calls = []

    def _run(self, name, *args):
        self.calls.append((name, args))
        if self.error is not None:
            raise self.error
        return self.path, self.meta

    def render_snapshot(self, *args):
        return self._run("render_snapshot", *args)

    def render_animation(self, *args):
        return self._run("render_animation", *args)

    def transcode_local_video(self, *args):
        return self._run("transcode_local_video", *args)

    def render_turntable(self, *args):
        return self._run("render_turntable", *args)


class Browser:
    """The webbrowser module: records the URLs it is asked to open."""

    def __init__(self, opens=True):
        self.opens, self.urls = opens, []

    def open(self, url):
        self.urls.append(url)
        return self.opens


class WindowManager:
    """Records the progress calls; `windows` hold the areas whose sidebars get redrawn."""

    def __init__(self, windows=()):
        self.progress, self.windows = [], list(windows)

    def progress_begin(self, low, high):
        self.progress.append(("begin", low, high))

    def progress_update(self, value):
        self.progress.append(("update", value))

    def progress_end(self):
        self.progress.append(("end",))


class Region:
    def __init__(self, type_):
        self.type, self.redraws = type_, 0

    def tag_redraw(self):
        self.redraws += 1


def window(*area_types):
    """A window whose screen has one area of each type, each with a main region and a sidebar."""
    areas = [types.SimpleNamespace(type=t, regions=[Region("WINDOW"), Region("UI")])
             for t in area_types]
    return types.SimpleNamespace(screen=types.SimpleNamespace(areas=areas))


class Timers:
    """bpy.app.timers: one registration per function, as the host keeps them."""

    def __init__(self):
        self.registered = {}

    def register(self, fn, first_interval=0, persistent=False):
        self.registered[fn] = (first_interval, persistent)

    def unregister(self, fn):
        del self.registered[fn]

    def is_registered(self, fn):
        return fn in self.registered


def host_api(blend_dir="/projects/shot"):
    """The part of bpy that ops uses: bpy.path.abspath (expanding "//" like the host does), the
    window manager's progress and windows, the render_write handlers and the timers."""

    def abspath(path):
        return blend_dir + "/" + path[2:] if path.startswith("//") else path

    return types.SimpleNamespace(
        path=types.SimpleNamespace(abspath=abspath),
        context=types.SimpleNamespace(window_manager=WindowManager()),
        app=types.SimpleNamespace(handlers=types.SimpleNamespace(render_write=[]),
                                  timers=Timers()))


class Server:
    """A bridge server handle whose counters a test sets; records its shutdown."""

    def __init__(self, **stats):
        self.counts = dict(requests=0, meta_requests=0, asset_requests=0, asset_bytes=0,
                           asset_size=0, done=False, closed=False)
        self.counts.update(stats)
        self.calls = []

    def stats(self):
        return dict(self.counts)

    def shutdown(self):
        self.calls.append("shutdown")

    def server_close(self):
        self.calls.append("server_close")
        self.counts["closed"] = True


def sparse_file(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
    return str(path)


def fragment(url):
    """port, token and kind of an import URL."""
    fields = dict(part.split("=", 1) for part in url.split("#", 1)[1].split("&"))
    return int(fields["port"]), fields["token"], fields["kind"]


def bridge_get(port, route, token):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{route}?token={token}", timeout=5) as r:
        return r.status, r.read()


def bridge_meta(port, token):
    status, body = bridge_get(port, "/meta", token)
    return status, json.loads(body)


def bridge_done(port, token):
    req = urllib.request.Request(f"http://127.0.0.1:{port}/done?token={token}", data=b"", method="POST")
    with urllib.request.urlopen(req, timeout=5) as r:
        return r.status


class Layout:
    """A panel layout recording what is drawn into it; box/row/column give nested layouts."""

    def __init__(self, kind="layout", **options):
        self.kind, self.options, self.items = kind, options, []

    def prop(self, data, name, **kw):
        self.items.append(("prop", name, kw, data))

    def label(self, **kw):
        self.items.append(("label", kw))

    def separator(self):
        self.items.append(("separator",))

    def operator(self, idname, **kw):
        props = types.SimpleNamespace()
        self.items.append(("operator", idname, kw, props))
        return props

    def _child(self, kind, **options):
        child = Layout(kind, **options)
        self.items.append(child)
        return child

    def box(self):
        return self._child("box")

    def row(self, **kw):
        return self._child("row", **kw)

    def column(self, **kw):
        return self._child("column", **kw)

    def tree(self):
        """Nested plain data, without the property group references."""
        out = []
        for it in self.items:
            if isinstance(it, Layout):
                out.append((it.kind, it.options, it.tree()))
            elif it[0] == "prop":
                out.append(it[:3])
            elif it[0] == "operator":
                out.append(it[:3] + ((vars(it[3]),) if vars(it[3]) else ()))
            else:
                out.append(it)
        return out
