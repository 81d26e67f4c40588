// The scene guard and the two functions that switch a scene to white-model rendering and to
// the video output format. Every setting the apply functions (and the renders) change is in
// the backup; a setting added there must be added here too.
#include <optional>

#include "host_caps.hpp"
#include "render.hpp"

namespace render {

SceneBackup SceneBackup::take(PyObject* scene) {
  SceneBackup b;
  b.scene_ = py::Ref::borrow(scene);
  b.render_ = py::attr(scene, "render");
  PyObject* r = b.render_.get();
  b.engine_ = py::attr(r, "engine");
  b.resolution_x_ = py::attr(r, "resolution_x");
  b.resolution_y_ = py::attr(r, "resolution_y");
  b.resolution_percentage_ = py::attr(r, "resolution_percentage");
  b.fps_ = py::attr(r, "fps");
  b.fps_base_ = py::attr(r, "fps_base");
  b.filepath_ = py::attr(r, "filepath");
  py::Ref image = py::attr(r, "image_settings");
  b.file_format_ = py::attr(image, "file_format");
  b.frame_start_ = py::attr(scene, "frame_start");
  b.frame_end_ = py::attr(scene, "frame_end");
  b.camera_ = py::attr(scene, "camera");
  b.film_transparent_ = py::attr(r, "film_transparent");
  b.media_type_ = caps::media_type(image.get());
  b.ffmpeg_ = py::attr_or_null(r, "ffmpeg");
  b.use_sequencer_ = caps::use_sequencer(r);
  if (b.ffmpeg_) {
    b.ff_format_ = py::attr(b.ffmpeg_, "format");
    b.ff_codec_ = py::attr(b.ffmpeg_, "codec");
    b.ff_audio_ = py::attr(b.ffmpeg_, "audio_codec");
  }
  return b;
}

void SceneBackup::restore() const {
  PyObject* r = render_.get();
  py::set_attr(r, "engine", engine_);
  py::set_attr(r, "resolution_x", resolution_x_);
  py::set_attr(r, "resolution_y", resolution_y_);
  py::set_attr(r, "resolution_percentage", resolution_percentage_);
  py::set_attr(r, "fps", fps_);
  py::set_attr(r, "fps_base", fps_base_);
  py::set_attr(r, "filepath", filepath_);
  // The media type goes before the file format: on hosts that have it, it limits the formats.
  if (media_type_) py::set_attr(py::attr(r, "image_settings"), "media_type", media_type_);
  py::set_attr(py::attr(r, "image_settings"), "file_format", file_format_);
  py::set_attr(scene_, "frame_start", frame_start_);
  py::set_attr(scene_, "frame_end", frame_end_);
  py::set_attr(scene_, "camera", camera_);
  py::set_attr(r, "film_transparent", film_transparent_);
  if (ffmpeg_) {
    py::set_attr(ffmpeg_, "format", ff_format_);
    py::set_attr(ffmpeg_, "codec", ff_codec_);
    py::set_attr(ffmpeg_, "audio_codec", ff_audio_);
  }
  if (use_sequencer_) py::set_attr(r, "use_sequencer", use_sequencer_);
}

int SceneBackup::traverse(visitproc visit, void* arg) const {
  for (const py::Ref* ref : {&scene_,
                             &render_,
                             &ffmpeg_,
                             &engine_,
                             &resolution_x_,
                             &resolution_y_,
                             &resolution_percentage_,
                             &fps_,
                             &fps_base_,
                             &filepath_,
                             &file_format_,
                             &frame_start_,
                             &frame_end_,
                             &camera_,
                             &film_transparent_,
                             &media_type_,
                             &ff_format_,
                             &ff_codec_,
                             &ff_audio_,
                             &use_sequencer_}) {
    Py_VISIT(ref->get());
  }
  return 0;
}

void SceneBackup::clear() { *this = SceneBackup(); }

void apply_workbench(PyObject* m, PyObject* scene, long long width, long long height) {
  py::Ref r = py::attr(scene, "render");
  py::set_attr(r, "engine", config_value(m, "RENDER_ENGINE"));
  py::set_attr(r, "resolution_x", py::integer(width));
  py::set_attr(r, "resolution_y", py::integer(height));
  py::set_attr(r, "resolution_percentage", py::integer(100));
  py::set_attr(r, "film_transparent", py::boolean(false));
}

void apply_video_output(PyObject* m, PyObject* scene, const py::Ref& path) {
  py::Ref r = py::attr(scene, "render");
  py::set_attr(r, "fps", config_value(m, "VIDEO_FPS"));
  py::set_attr(r, "fps_base", py::real(1.0));
  py::Ref image = py::attr(r, "image_settings");
  caps::set_media_type(image, "VIDEO");
  py::set_attr(image, "file_format", py::str("FFMPEG"));
  py::Ref ffmpeg = py::attr(r, "ffmpeg");
  py::set_attr(ffmpeg, "format", config_value(m, "VIDEO_CONTAINER"));
  py::set_attr(ffmpeg, "codec", config_value(m, "VIDEO_CODEC"));
  py::set_attr(ffmpeg, "audio_codec", py::str("NONE"));
  py::set_attr(r, "filepath", path);
}

py::Ref apply_workbench_fn(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("_apply_workbench", args, kwargs, {"scene", "width", "height"});
  long long width = p.integer(1), height = p.integer(2);
  apply_workbench(m, p[0], width, height);
  return py::none();
}

py::Ref apply_video_output_fn(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("_apply_video_output", args, kwargs, {"scene", "path"});
  apply_video_output(m, p[0], py::Ref::borrow(p.str_object(1)));
  return py::none();
}

// ---- _scene_guard: the same guard as a single-use context manager for Python code ----------

namespace {

struct Guard {
  enum class Stage { created, entered, left };
  py::Ref scene;
  std::optional<SceneBackup> backup;
  Stage stage = Stage::created;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(scene.get());
    return backup ? backup->traverse(visit, arg) : 0;
  }
  void clear() {
    scene = py::Ref();
    backup.reset();
  }
};

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&] {
    py::Params p("_scene_guard", args, kwargs, {"scene"});
    Guard g;
    g.scene = py::Ref::borrow(p[0]);
    return py::make_instance<Guard>(type, std::move(g));
  });
}

py::Ref guard_enter(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("__enter__", args, kwargs, {});
  Guard& g = py::native<Guard>(self);
  if (g.stage != Guard::Stage::created) py::raise(PyExc_RuntimeError, "_scene_guard is single-use");
  // A backup that cannot be taken leaves the guard before the block starts.
  g.stage = Guard::Stage::left;
  py::Ref scene = std::move(g.scene);
  g.backup = SceneBackup::take(scene.get());
  g.stage = Guard::Stage::entered;
  return py::none();
}

py::Ref guard_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("__exit__", args, kwargs, {"exc_type", "exc_value", "traceback"});
  Guard& g = py::native<Guard>(self);
  if (g.stage != Guard::Stage::entered)
    py::raise(PyExc_RuntimeError, "_scene_guard was not entered");
  g.stage = Guard::Stage::left;
  SceneBackup backup = std::move(*g.backup);
  g.backup.reset();
  // A failing step raises here; Python then lets it replace the block's error.
  backup.restore();
  return py::boolean(false);  // never swallows the block's error
}

PyMethodDef kGuardMethods[] = {
    PY_FUNCTION("__enter__", guard_enter, "__enter__($self, /)\n--\n\nBack up the settings."),
    PY_FUNCTION("__exit__", guard_exit,
                "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
                "Restore every setting; errors are never swallowed."),
    PY_FUNCTIONS_END,
};

PyType_Slot kGuardSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&guard_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc<Guard>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&py::traverse<Guard>)},
    {Py_tp_clear, reinterpret_cast<void*>(&py::clear<Guard>)},
    {Py_tp_methods, kGuardMethods},
    {Py_tp_doc, const_cast<char*>("_scene_guard(scene)\n--\n\n"
                                  "Backs up the scene's render settings on entry and writes "
                                  "them back on every exit.")},
    {0, nullptr},
};

PyType_Spec kGuardSpec = {"tavro_blender_uploader.render._scene_guard",
                          static_cast<int>(sizeof(py::Instance<Guard>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kGuardSlots};

}  // namespace

py::Ref make_guard_type(PyObject* m) { return py::new_type(m, &kGuardSpec); }

}  // namespace render
