// The scene guard and the two functions that switch a scene to white-model rendering and to
// the video output format. Every setting the apply functions (and the renders) change is in
// the guard's table; a setting added there must be added to the table too.
#include <iterator>
#include <optional>
#include <string>

#include "host_caps.hpp"
#include "render.hpp"

namespace render {

namespace {

enum class Owner { scene, render, image_settings, ffmpeg };
enum class Present {
  always,
  if_attribute,  // only where the host has the attribute
  if_owner,      // only where the render settings have an `ffmpeg` member
};
struct Setting {
  Owner owner;
  const char* name;
  Present present;
};

// Every setting a render may change, in the order the restore writes them back (the backup
// reads them in the same order). A setting added to the changing code must be added here.
constexpr Setting kSettings[] = {
    {Owner::render, "engine", Present::always},
    {Owner::render, "resolution_x", Present::always},
    {Owner::render, "resolution_y", Present::always},
    {Owner::render, "resolution_percentage", Present::always},
    {Owner::render, "fps", Present::always},
    {Owner::render, "fps_base", Present::always},
    {Owner::render, "filepath", Present::always},
    // The media type goes before the file format: on hosts that have it, it limits the formats.
    {Owner::image_settings, "media_type", Present::if_attribute},
    {Owner::image_settings, "file_format", Present::always},
    // After the file format, which limits the colour modes.
    {Owner::image_settings, "color_mode", Present::always},
    {Owner::scene, "frame_start", Present::always},
    {Owner::scene, "frame_end", Present::always},
    {Owner::scene, "camera", Present::always},
    {Owner::render, "film_transparent", Present::always},
    {Owner::ffmpeg, "format", Present::if_owner},
    {Owner::ffmpeg, "codec", Present::if_owner},
    {Owner::ffmpeg, "audio_codec", Present::if_owner},
    {Owner::ffmpeg, "constant_rate_factor", Present::if_owner},
    {Owner::ffmpeg, "ffmpeg_preset", Present::if_owner},
    {Owner::ffmpeg, "gopsize", Present::if_owner},
    {Owner::ffmpeg, "use_max_b_frames", Present::if_owner},
    {Owner::ffmpeg, "max_b_frames", Present::if_owner},
    {Owner::render, "use_sequencer", Present::if_attribute},
    // Locked while the send renders as the host's render job.
    {Owner::render, "use_lock_interface", Present::if_attribute},
};
static_assert(std::size(kSettings) == SceneBackup::kCount);

const char* owner_label(Owner owner) {
  switch (owner) {
    case Owner::scene:
      return "scene";
    case Owner::render:
      return "render";
    case Owner::image_settings:
      return "image_settings";
    case Owner::ffmpeg:
      return "ffmpeg";
  }
  return "";
}

}  // namespace

PyObject* SceneBackup::owner(std::size_t i, const py::Ref& image) const {
  switch (kSettings[i].owner) {
    case Owner::scene:
      return scene_.get();
    case Owner::render:
      return render_.get();
    case Owner::image_settings:
      return image.get();
    case Owner::ffmpeg:
      return ffmpeg_.get();
  }
  return nullptr;
}

SceneBackup SceneBackup::take(PyObject* scene) {
  SceneBackup b;
  b.scene_ = py::Ref::borrow(scene);
  b.render_ = py::attr(scene, "render");
  py::Ref image = py::attr(b.render_, "image_settings");
  b.ffmpeg_ = py::attr_or_null(b.render_.get(), "ffmpeg");
  for (std::size_t i = 0; i < kCount; ++i) {
    const Setting& s = kSettings[i];
    PyObject* o = b.owner(i, image);
    if (s.present == Present::if_owner && o == nullptr) continue;
    b.values_[i] =
        s.present == Present::if_attribute ? py::attr_or_null(o, s.name) : py::attr(o, s.name);
  }
  return b;
}

void SceneBackup::restore() const {
  py::Ref image = py::attr(render_, "image_settings");
  for (std::size_t i = 0; i < kCount; ++i) {
    if (values_[i]) py::set_attr(owner(i, image), kSettings[i].name, values_[i]);
  }
}

int SceneBackup::traverse(visitproc visit, void* arg) const {
  if (int r = py::visit(visit, arg, scene_, render_, ffmpeg_)) return r;
  for (const py::Ref& v : values_)
    if (int r = py::visit(visit, arg, v)) return r;
  return 0;
}

py::Ref guarded_settings() {
  py::Ref labels = py::list();
  for (const Setting& s : kSettings) {
    py::append(labels, py::format("{}.{}", owner_label(s.owner), s.name));
  }
  return py::tuple_of(labels);
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
  // The encoder's settings, chosen for a web upload rather than inherited from the scene
  // (README, "Video encoding"): CRF 23, x264's medium preset, a keyframe every two seconds,
  // up to two B-frames, 8-bit 4:2:0 without alpha.
  py::set_attr(ffmpeg, "constant_rate_factor", py::str("MEDIUM"));
  py::set_attr(ffmpeg, "ffmpeg_preset", py::str("GOOD"));
  const long long fps = py::integer_arg(config_value(m, "VIDEO_FPS").get(), "VIDEO_FPS");
  py::set_attr(ffmpeg, "gopsize", py::integer(2 * fps));
  py::set_attr(ffmpeg, "use_max_b_frames", py::boolean(true));
  py::set_attr(ffmpeg, "max_b_frames", py::integer(2));
  py::set_attr(image, "color_mode", py::str("RGB"));
  py::set_attr(r, "filepath", path);
}

py::Ref apply_workbench_fn(PyObject* m, const py::Params& p) {
  long long width = p.integer(1), height = p.integer(2);
  apply_workbench(m, p[0], width, height);
  return py::none();
}

PY_EXPORT(render, py::function<"_apply_workbench", "scene, width, height",
                               "Workbench engine at width x height, 100 percent, opaque film.",
                               apply_workbench_fn>());

py::Ref apply_video_output_fn(PyObject* m, const py::Params& p) {
  apply_video_output(m, p[0], py::Ref::borrow(p.str_object(1)));
  return py::none();
}

PY_EXPORT(render, py::function<"_apply_video_output", "scene, path",
                               "H.264 in MPEG-4 at VIDEO_FPS, no audio, written to path.",
                               apply_video_output_fn>());

// ---- _scene_guard: the same guard as a single-use context manager for Python code ----------

namespace {

struct Guard {
  enum class Stage { created, entered, left };
  py::Ref scene;
  std::optional<SceneBackup> backup;
  Stage stage = Stage::created;

  int traverse(visitproc visit, void* arg) const {
    if (int r = py::visit(visit, arg, scene)) return r;
    return backup ? backup->traverse(visit, arg) : 0;
  }
  void clear() {
    scene = py::Ref();
    backup.reset();
  }
};

py::Ref guard_new(PyTypeObject* type, const py::Params& p) {
  Guard g;
  g.scene = py::Ref::borrow(p[0]);
  return py::make_instance<Guard>(type, std::move(g));
}

py::Ref guard_enter(PyObject* self, const py::Params&) {
  Guard& g = py::native<Guard>(self);
  if (g.stage != Guard::Stage::created) py::raise(PyExc_RuntimeError, "_scene_guard is single-use");
  // A backup that cannot be taken leaves the guard before the block starts.
  g.stage = Guard::Stage::left;
  py::Ref scene = std::move(g.scene);
  g.backup = SceneBackup::take(scene.get());
  g.stage = Guard::Stage::entered;
  return py::none();
}

py::Ref guard_exit(PyObject* self, const py::Params&) {
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
    py::method<"__enter__", "", "Back up the settings.", guard_enter>(),
    py::method<"__exit__", "exc_type, exc_value, traceback",
               "Restore every setting; errors are never swallowed.", guard_exit>(),
    py::end_of_table(),
};

using GuardNew = py::Constructor<"_scene_guard", "scene",
                                 "Backs up the scene's render settings on entry and writes them "
                                 "back on every exit.",
                                 guard_new>;

}  // namespace

py::Ref make_guard_type(PyObject* m) {
  return py::new_type(m, py::constructed_type<Guard, GuardNew>(
                             "tavro_blender_uploader.render._scene_guard", kGuardMethods));
}

}  // namespace render
