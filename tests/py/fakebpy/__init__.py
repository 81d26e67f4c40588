"""A recording stand-in for Blender's `bpy`, enough for the add-on's render and scene code.

Every attribute write on a scene, its render settings, image settings, FFmpeg settings and
sequencer strips (their transforms included) lands in one ordered log as (label, value); calls
land there as ("call:<name>", kwargs). Switches select the host's shape (media_type present or
not, an `ffmpeg` member or not, `use_sequencer` or not, `strips` or `sequences`, how strips can be retimed, whether
movies are shown turned by their display rotation, `bpy.app.version`), and failures can be
injected on a given write or call. VERSIONS holds the shapes of the real hosts.

    fake = FakeBpy(media_type=False)
    fake = FakeBpy.of_version((3, 4, 1))
    scene = fake.scene()
    fake.fail_on("render.fps", KeyboardInterrupt(), nth=2)   # the second write of render.fps
    fake.on_render = lambda kw, scene: open(scene.render.filepath, "wb").write(b"x")
"""

import zlib

_MISSING = object()


class Recorder:
    """An object whose public attribute writes are logged under `<label>.<name>`."""

    def __init__(self, fake, label, **values):
        object.__setattr__(self, "_fake", fake)
        object.__setattr__(self, "_label", label)
        for k, v in values.items():
            object.__setattr__(self, k, v)

    def __setattr__(self, name, value):
        if name.startswith("_"):
            object.__setattr__(self, name, value)
            return
        label = f"{self._label}.{name}"
        self._fake._check(label)
        self._fake.log.append((label, value))
        self._on_write(name, value)
        object.__setattr__(self, name, value)

    def _on_write(self, name, value):
        pass

    def __repr__(self):
        return f"<fake {self._label}>"


# The strip transform's filters: 3.x has two; 4.2 and later add cubic and box filters.
OLD_FILTERS = ("NEAREST", "BILINEAR")
NEW_FILTERS = ("AUTO", "NEAREST", "BILINEAR", "CUBIC_MITCHELL", "CUBIC_BSPLINE", "BOX")


# The shape of each real host the module supports, as the real-Blender tests find it.
def _shape(media_type, collection, retime, effect_input, turns_movies, filters=NEW_FILTERS):
    return dict(media_type=media_type, collection=collection, retime=retime,
                effect_input=effect_input, turns_movies=turns_movies, filters=filters)


VERSIONS = {
    (3, 4, 1): _shape(False, "sequences", "speed_factor", "seq1", False, OLD_FILTERS),
    (4, 2, 23): _shape(False, "sequences", "effect", "seq1", False),
    (4, 3, 0): _shape(False, "sequences", "effect", "seq1", False),
    (4, 4, 0): _shape(False, "strips", "effect", "seq1", True),
    (4, 5, 15): _shape(False, "strips", "effect", "input1", True),
    (5, 0, 1): _shape(True, "strips", "effect", "input1", True),
    (5, 1, 2): _shape(True, "strips", "effect", "input1", True),
    (5, 2, 4): _shape(True, "strips", "effect", "input1", True),
    (5, 3, 0): _shape(True, "strips", "effect", "input1", True),
}


class Element:
    def __init__(self, width, height):
        self.orig_width = width
        self.orig_height = height


class Transform(Recorder):
    def __setattr__(self, name, value):
        if name == "filter" and value not in self._fake.filters:  # the host's enum check
            raise TypeError(f'enum "{value}" not found in {self._fake.filters}')
        super().__setattr__(name, value)


def old_transform_point(transform, stored, frame, pixel):
    """Where the 3.x strip transform puts the stored picture's pixel (x, y) in the frame, in
    frame pixels: it treats pixel corners as centres, centres the picture by a truncated
    whole-pixel shift plus the offset, and scales and turns about the picture's middle."""
    import math
    (w, h), (fw, fh) = stored, frame
    cx, cy = w / 2, h / 2
    dx, dy = (pixel[0] - cx) * transform.scale_x, (pixel[1] - cy) * transform.scale_y
    c, s = math.cos(transform.rotation), math.sin(transform.rotation)
    return (int((fw - w) / 2) + transform.offset_x + cx + c * dx - s * dy,
            int((fh - h) / 2) + transform.offset_y + cy + s * dx + c * dy)


class MovieStrip(Recorder):
    def _on_write(self, name, value):
        if name == "speed_factor":
            # The host shortens a movie strip that plays faster.
            object.__setattr__(self, "frame_final_duration", int(self._source_frames / value))


class StripCollection:
    def __init__(self, fake, scene):
        self._fake, self._scene, self._items = fake, scene, []
        if fake.retime == "effect":
            self.new_effect = self._new_effect

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)

    def new_movie(self, name, filepath, channel, frame_start):
        fake = self._fake
        fake._call("new_movie", dict(name=name, filepath=filepath, channel=channel,
                                     frame_start=frame_start))
        clip = fake.clip
        size = (clip["width"], clip["height"])
        if fake.turns_movies and clip["turns"] % 2:
            size = size[::-1]  # the host reports the size it shows
        label = f"{self._scene._prefix}strip.{name}"
        values = dict(name=name, filepath=filepath, channel=channel, frame_start=frame_start,
                      frame_final_duration=clip["frames"], fps=clip["fps"],
                      elements=[Element(*size)] if clip["elements"] else [],
                      transform=Transform(fake, label + ".transform", scale_x=1.0, scale_y=1.0,
                                          rotation=0.0, offset_x=0, offset_y=0,
                                          filter="AUTO" if "AUTO" in fake.filters
                                          else "BILINEAR"))
        if fake.retime == "speed_factor":
            values["speed_factor"] = 1.0
        strip = MovieStrip(fake, label, **values)
        object.__setattr__(strip, "_source_frames", clip["frames"])
        self._items.append(strip)
        fake.last_strip = strip
        return strip

    def _new_effect(self, name, type, channel, frame_start, **inputs):
        if self._fake.effect_input not in inputs or len(inputs) != 1:
            raise TypeError(f"new_effect(): invalid keyword argument(s) {sorted(inputs)}")
        self._fake._call("new_effect", dict(name=name, type=type, channel=channel,
                                            frame_start=frame_start, **inputs))
        effect = Recorder(self._fake, f"{self._scene._prefix}strip.{name}", name=name, type=type,
                          speed_control="STRETCH", speed_factor=1.0)
        self._items.append(effect)
        return effect


class Scene(Recorder):
    def __init__(self, fake, name, prefix):
        p = prefix
        super().__init__(fake, p + "scene", name=name, frame_start=1, frame_end=250,
                         frame_current=1, camera=None, sequence_editor=None)
        object.__setattr__(self, "_prefix", p)
        image = dict(file_format="PNG", color_mode="RGBA")
        if fake.media_type:
            image["media_type"] = "IMAGE"
        render = dict(engine="BLENDER_EEVEE", resolution_x=1920, resolution_y=1080,
                      resolution_percentage=100, fps=24, fps_base=1.0, filepath="/tmp/",
                      film_transparent=False, dither_intensity=1.0, use_lock_interface=False,
                      image_settings=Recorder(fake, p + "image_settings", **image))
        if fake.use_sequencer:
            render["use_sequencer"] = True
        if fake.ffmpeg:
            render["ffmpeg"] = Recorder(fake, p + "ffmpeg", format="MPEG4", codec="H264",
                                        audio_codec="AAC", constant_rate_factor="LOSSLESS",
                                        ffmpeg_preset="", gopsize=0, use_max_b_frames=False,
                                        max_b_frames=0)
        object.__setattr__(self, "render", Recorder(fake, p + "render", **render))
        object.__setattr__(self, "view_settings", Recorder(fake, p + "view_settings",
                                                           view_transform="AgX"))

    def sequence_editor_create(self):
        self._fake._call("sequence_editor_create", {"scene": self.name})
        if self.sequence_editor is None:
            editor = Recorder(self._fake, self._prefix + "sequence_editor")
            object.__setattr__(editor, self._fake.collection, StripCollection(self._fake, self))
            object.__setattr__(self, "sequence_editor", editor)
        return self.sequence_editor

    def snapshot(self):
        """Every guarded setting as a plain dict, for before/after comparisons."""
        r, i = self.render, self.render.image_settings
        out = dict(engine=r.engine, resolution_x=r.resolution_x, resolution_y=r.resolution_y,
                   resolution_percentage=r.resolution_percentage, fps=r.fps, fps_base=r.fps_base,
                   filepath=r.filepath, file_format=i.file_format, frame_start=self.frame_start,
                   frame_end=self.frame_end, camera=self.camera,
                   film_transparent=r.film_transparent, color_mode=i.color_mode,
                   use_lock_interface=r.use_lock_interface)
        if hasattr(i, "media_type"):
            out["media_type"] = i.media_type
        if hasattr(r, "ffmpeg"):
            f = r.ffmpeg
            out.update(ff_format=f.format, ff_codec=f.codec, ff_audio=f.audio_codec,
                       ff_crf=f.constant_rate_factor, ff_preset=f.ffmpeg_preset,
                       ff_gop=f.gopsize, ff_use_b=f.use_max_b_frames, ff_b=f.max_b_frames)
        if hasattr(r, "use_sequencer"):
            out["use_sequencer"] = r.use_sequencer
        return out


class Scenes:
    def __init__(self, fake):
        self._fake, self._items = fake, []

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)

    def names(self):
        return [s.name for s in self._items]

    def new(self, name):
        self._fake._call("scenes.new", {"name": name})
        unique, n = name, 0
        while unique in self.names():
            n += 1
            unique = f"{name}.{n:03d}"
        scene = Scene(self._fake, unique, unique + "/")
        self._items.append(scene)
        return scene

    def remove(self, scene):
        self._fake._call("scenes.remove", {"name": scene.name})
        self._items.remove(scene)


class Obj:
    def __init__(self, name=_MISSING, type="CAMERA"):
        if name is not _MISSING:
            self.name = name
        self.type = type


class _Namespace:
    pass


class FakeBpy:
    """The fake module. `clip` describes what new_movie opens; `on_render(kwargs, scene)` runs
    inside bpy.ops.render.render (scene: the scene it renders) and may write files."""

    def __init__(self, media_type=True, ffmpeg=True, collection="strips", retime="none",
                 effect_input="input1", turns_movies=True, version=(5, 0, 1),
                 use_sequencer=True, filters=NEW_FILTERS):
        self.media_type, self.ffmpeg, self.collection = media_type, ffmpeg, collection
        self.use_sequencer, self.filters = use_sequencer, filters
        self.retime, self.effect_input, self.turns_movies = retime, effect_input, turns_movies
        self.log = []
        # What new_movie opens; `turns`: the quarter turns the file's display rotation asks for
        # (the module reads them from the file itself where the host does not apply them).
        self.clip = dict(frames=240, fps=24.0, width=1920, height=1080, elements=True, turns=0)
        self.on_render = None
        self._failures = {}
        self._counts = {}
        self.data = _Namespace()
        self.data.scenes = Scenes(self)
        self.ops = _Namespace()
        self.ops.render = _Namespace()
        self.ops.render.render = self._render
        self.context = _Namespace()
        self.context.scene = self.scene()
        self.app = _Namespace()
        self.app.version = tuple(version)

    @classmethod
    def of_version(cls, version, **overrides):
        """The fake shaped like the real host of that version (a key of VERSIONS)."""
        return cls(version=version, **dict(VERSIONS[version], **overrides))

    def scene(self, name="Scene"):
        """The user's scene: writes are logged without a prefix."""
        scene = Scene(self, name, "")
        self.data.scenes._items.append(scene)
        return scene

    def fail_on(self, label, exc, nth=1):
        """Raise `exc` at the nth write of `label` ("render.fps") or the nth call of a name
        ("call:render.render", "call:scenes.remove")."""
        self._failures[label] = (nth, exc)

    def _check(self, label):
        self._counts[label] = self._counts.get(label, 0) + 1
        failure = self._failures.get(label)
        if failure and failure[0] == self._counts[label]:
            raise failure[1]

    def _call(self, name, kwargs):
        label = "call:" + name
        self.log.append((label, kwargs))
        self._check(label)

    def _render(self, **kwargs):
        self._call("render.render", kwargs)
        name = kwargs.get("scene")
        scene = self.context.scene
        if name is not None:
            scene = next(s for s in self.data.scenes if s.name == name)
        if self.on_render is not None:
            self.on_render(kwargs, scene)
        return {"FINISHED"}

    def writes(self, prefix=""):
        """The logged attribute writes whose label starts with `prefix`, in order."""
        return [(k, v) for k, v in self.log if not k.startswith("call:") and k.startswith(prefix)]

    def calls(self, name=None):
        return [(k[5:], v) for k, v in self.log
                if k.startswith("call:") and (name is None or k[5:] == name)]


def write_file(path, data=b"\0" * 64):
    with open(path, "wb") as f:
        f.write(data)
    return path


def _box(kind, *payload):
    body = b"".join(payload)
    return (len(body) + 8).to_bytes(4, "big") + kind + body


def write_mp4(path, turns=0, size=(320, 180), frames=1):
    """A whole MP4 as far as the module's readers look: a video track whose header's matrix
    turns the picture `turns` quarter turns counter-clockwise (as ffmpeg's rotate=90 does for 1),
    whose header and sample entry give the stored picture's `size`, and a sample table of
    `frames` samples."""
    one = 0x10000
    a, b, c, d = [(one, 0, 0, one), (0, -one, one, 0), (-one, 0, 0, -one), (0, one, -one, 0)][turns]
    matrix = b"".join(v.to_bytes(4, "big", signed=True) for v in (a, b, 0, c, d, 0, 0, 0, 1 << 30))
    stored = b"".join((v << 16).to_bytes(4, "big") for v in size)
    tkhd = _box(b"tkhd", bytes(4 + 20 + 16), matrix, stored)
    hdlr = _box(b"hdlr", bytes(8), b"vide", bytes(13))
    entry = _box(b"avc1", bytes(24), size[0].to_bytes(2, "big"), size[1].to_bytes(2, "big"),
                 bytes(50))
    stbl = _box(b"stbl", _box(b"stsd", bytes(4), (1).to_bytes(4, "big"), entry),
                _box(b"stsz", bytes(8), frames.to_bytes(4, "big")))
    mdia = _box(b"mdia", hdlr, _box(b"minf", stbl))
    return write_file(path, _box(b"ftyp", b"isom", bytes(4))
                      + _box(b"moov", _box(b"trak", tkhd, mdia)))


def write_png(path, size):
    """A whole PNG of `size` (one grey pixel row repeated), as the module's reader checks it."""
    def chunk(kind, data):
        return (len(data).to_bytes(4, "big") + kind + data
                + zlib.crc32(kind + data).to_bytes(4, "big"))
    w, h = size
    ihdr = w.to_bytes(4, "big") + h.to_bytes(4, "big") + bytes([8, 2, 0, 0, 0])
    pixels = zlib.compress((b"\0" + b"\x80" * 3 * w) * h)
    return write_file(path, b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", pixels)
                      + chunk(b"IEND", b""))


def output_size(scene):
    r = scene.render
    return (r.resolution_x * r.resolution_percentage // 100,
            r.resolution_y * r.resolution_percentage // 100)


def write_video(suffix=".mp4"):
    """An on_render hook that writes a whole MP4 of the scene's size and frame range, named
    after the render's output path the way the FFmpeg output does: `suffix` is "" (into the
    placeholder itself), ".mp4", or a frame range such as "0001-0048.mp4"."""

    def hook(kwargs, scene):
        write_mp4(scene.render.filepath + suffix, size=output_size(scene),
                  frames=scene.frame_end - scene.frame_start + 1)

    return hook


def write_still(kwargs, scene):
    write_png(scene.render.filepath, output_size(scene))
