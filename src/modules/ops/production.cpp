// Asset production: the panel's choices of the scene's property group turn into one render
// call of `render`, with the output size, the aspect ratio and the source's precondition.
#include <string>

#include "ops.hpp"
#include "sources.hpp"

namespace ops {

using py::Ref;

namespace {

struct Aspect {
  const char* key;
  const char* label;
  int w, h;
};

constexpr Aspect kAspects[] = {
    {"16:9", "16:9 横屏", 16, 9}, {"9:16", "9:16 竖屏", 9, 16},   {"1:1", "1:1 方图", 1, 1},
    {"4:3", "4:3", 4, 3},         {"21:9", "21:9 宽银幕", 21, 9},
};
// The ratio of a key that no row holds: the first row's.
constexpr int kFallbackW = 16, kFallbackH = 9;

// The first row of `table` (any iterable of rows) whose first field equals `key`, or empty.
Ref find_row(const Ref& table, PyObject* key) {
  for (const Ref& row : py::iterate(table))
    if (py::equals(py::item(row, 0).get(), key)) return row;
  return Ref();
}

Ref long_edge_of(PyObject* m, PyObject* key) {
  Ref presets = py::attr(py::global(m, "config"), "RESOLUTION_PRESETS");
  Ref row = find_row(presets, key);
  if (!row) row = py::item(presets, 0);
  return py::item(row, 2);
}

std::pair<Ref, Ref> aspect_of(PyObject* m, PyObject* key) {
  Ref row = find_row(py::global(m, "_ASPECTS"), key);
  if (!row) return {py::integer(kFallbackW), py::integer(kFallbackH)};
  return {py::item(row, 2), py::item(row, 3)};
}

[[noreturn]] void invalid(const char* message) { py::raise(PyExc_ValueError, message); }

}  // namespace

Ref active_object(PyObject* context) {
  return py::attr(py::attr(py::attr(context, "view_layer"), "objects"), "active");
}

Ref aspects() {
  Ref rows = py::list();
  for (const Aspect& a : kAspects) py::append(rows, py::tuple(a.key, a.label, a.w, a.h));
  return py::tuple_of(rows);
}

Ref aspect_wh(PyObject* m, const py::Params& p) {
  auto [w, h] = aspect_of(m, p[0]);
  return py::tuple(w, h);
}

PY_EXPORT(ops,
          py::function<"_aspect_wh", "key",
                       "(width ratio, height ratio) of an aspect key; 16:9 for an unknown key.",
                       aspect_wh>());

Ref long_edge(PyObject* m, const py::Params& p) { return long_edge_of(m, p[0]); }

Ref wrap_text(PyObject* text, long long width) {
  if (width < 1) py::raise(PyExc_ValueError, "width must be a positive integer");
  Py_ssize_t n = py::length(text);
  Ref pieces = py::list();
  for (Py_ssize_t start = 0; start < n; start += static_cast<Py_ssize_t>(width)) {
    Py_ssize_t end = n - start <= width ? n : start + static_cast<Py_ssize_t>(width);
    py::append(pieces, py::slice(text, start, end));
  }
  if (n == 0) py::append(pieces, py::str(""));
  return pieces;
}

PY_EXPORT(
    ops,
    py::function<"_long_edge", "key",
                 "Long edge in pixels of a resolution preset key; the first preset's otherwise.",
                 long_edge>());

Ref wrap(PyObject*, const py::Params& p) {
  PyObject* text = p.str_object(0);
  return wrap_text(text, p.integer(1));
}

PY_EXPORT(
    ops,
    py::function<"_wrap", "text, width",
                 "The text cut into pieces of `width` characters; [''] for empty text.", wrap>());

namespace {

// The video file a video source is made from, made absolute by the host.
Ref video_file(PyObject* m, PyObject* props) {
  Ref chosen = py::attr(props, "video_path");
  if (!py::truthy(chosen)) chosen = py::str("");  // empty or None
  Ref src = py::call_method(py::attr(py::global(m, "bpy"), "path"), "abspath", chosen);
  if (!py::truthy(src)) invalid("请先选择一个视频文件");
  return src;
}

// The camera a render source looks through: chosen by name alone, never the scene's active one.
Ref chosen_camera(PyObject* scene, PyObject* props) {
  Ref camera = py::none();
  Ref name = py::attr(props, "camera");
  if (py::truthy(name)) camera = py::call_method(py::attr(scene, "objects"), "get", name);
  if (camera.is_none() || !py::equals(py::attr(camera, "type"), py::str("CAMERA")))
    invalid("请先在场景中选择一台相机");
  return camera;
}

// The name of the object a turntable goes round: the chosen one, else the active object's ("" when
// there is none; the render reports a missing object).
Ref chosen_object(PyObject* context, PyObject* props) {
  Ref name = py::attr(props, "target");
  if (py::truthy(name)) return name;
  Ref active = active_object(context);
  return active.is_none() ? py::str("") : py::attr(active, "name");
}

// How the asset is made: rendered now, or set up for the host's render job.
enum class Mode { now, job };

// The render call for `source`: (path, kind, meta) now, with the frames done in the host's
// progress indicator for a source that renders many; or (job, kind) for the render job.
template <class... A>
Ref make(PyObject* m, const Source& source, Mode mode, const A&... args) {
  Ref render = py::global(m, "render");
  if (mode == Mode::job)
    return py::tuple(py::call_method(render, source.stage, args...), source.asset_kind);
  auto call = [&] { return py::call_method(render, source.render, args...); };
  auto path_meta = py::unpack(source.frame_progress ? with_frame_progress(m, call) : call(), 2);
  return py::tuple(path_meta[0], source.asset_kind, path_meta[1]);
}

Ref produce_as(PyObject* m, const py::Params& p, Mode mode) {
  Ref scene = Ref::borrow(p[1]);
  PyObject* props = p[2];

  // The output size comes first, for every source.
  Ref edge = long_edge_of(m, py::attr(props, "resolution").get());
  auto [aw, ah] = aspect_of(m, py::attr(props, "aspect").get());

  const Source* source = &source_or_fallback(py::attr(props, "source").get());
  if (mode == Mode::job && !source->stage) return py::none();
  if (source->input == Input::video_file) return make(m, *source, mode, video_file(m, props), edge);

  if (source->input == Input::object) {
    Ref target = chosen_object(p[0], props);
    Ref seconds = py::attr(props, "turntable_seconds");
    Ref others = py::attr(props, "turntable_others");
    return make(m, *source, mode, scene, target, edge, aw, ah, seconds, others);
  }

  Ref camera = chosen_camera(scene.get(), props);
  // The render call follows the choice as it reads now, after the camera lookup; a camera
  // source (for the job, one that is staged) is what it must still be.
  source = &source_or_fallback(py::attr(props, "source").get());
  if (source->input != Input::camera || (mode == Mode::job && !source->stage))
    source = &fallback_source();
  if (!source->frame_range) return make(m, *source, mode, scene, camera, edge, aw, ah);
  Ref start = py::attr(props, "frame_start");
  Ref end = py::attr(props, "frame_end");
  return make(m, *source, mode, scene, camera, edge, aw, ah, start, end);
}

}  // namespace

Ref produce(PyObject* m, const py::Params& p) { return produce_as(m, p, Mode::now); }

Ref stage(PyObject* m, const py::Params& p) { return produce_as(m, p, Mode::job); }

PY_EXPORT(ops, py::function<"_stage", "context, scene, props",
                            "The asset the panel asks for, set up as the host's render job: "
                            "(job, kind); None for a source that is made at once.",
                            stage>());

PY_EXPORT(ops, py::function<"_produce", "context, scene, props",
                            "Render or normalise the asset the panel asks for: (path, kind, meta).",
                            produce>());

}  // namespace ops
