// Asset production: the panel's choices of the scene's property group turn into one render
// call of `render`, with the output size, the aspect ratio and the source's precondition.
#include <string>

#include "ops.hpp"

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

Ref aspects() {
  Ref rows = py::list();
  for (const Aspect& a : kAspects) py::append(rows, py::tuple(a.key, a.label, a.w, a.h));
  return py::tuple_of(rows);
}

Ref aspect_wh(PyObject* m, const py::Params& p) {
  auto [w, h] = aspect_of(m, p[0]);
  return py::tuple(w, h);
}

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

Ref wrap(PyObject*, const py::Params& p) {
  PyObject* text = p.str_object(0);
  return wrap_text(text, p.integer(1));
}

Ref produce(PyObject* m, const py::Params& p) {
  PyObject* scene = p[1];
  PyObject* props = p[2];

  // The output size comes first, for every source.
  Ref edge = long_edge_of(m, py::attr(props, "resolution").get());
  auto [aw, ah] = aspect_of(m, py::attr(props, "aspect").get());

  if (py::equals(py::attr(props, "source").get(), py::str("VIDEO").get())) {
    Ref chosen = py::attr(props, "video_path");
    if (!py::truthy(chosen.get())) chosen = py::str("");  // empty or None
    Ref bpy_path = py::attr(py::global(m, "bpy"), "path");
    Ref src = py::call_method(bpy_path.get(), "abspath", chosen);
    if (!py::truthy(src.get())) invalid("请先选择一个视频文件");
    Ref render = py::global(m, "render");
    auto made = py::unpack(py::call_method(render.get(), "transcode_local_video", src, edge), 2);
    return py::tuple(made[0], "video", made[1]);
  }

  // Render sources: the camera is chosen by name alone, never the scene's active one.
  Ref camera = py::none();
  Ref name = py::attr(props, "camera");
  if (py::truthy(name.get()))
    camera = py::call_method(py::attr(scene, "objects").get(), "get", name);
  if (camera.is_none() || !py::equals(py::attr(camera, "type").get(), py::str("CAMERA").get()))
    invalid("请先在场景中选择一台相机");

  Ref render = py::global(m, "render");
  if (py::equals(py::attr(props, "source").get(), py::str("SNAPSHOT").get())) {
    auto made = py::unpack(
        py::call_method(render.get(), "render_snapshot", scene, camera, edge, aw, ah), 2);
    return py::tuple(made[0], "image", made[1]);
  }
  Ref start = py::attr(props, "frame_start");
  Ref end = py::attr(props, "frame_end");
  auto made = py::unpack(
      py::call_method(render.get(), "render_animation", scene, camera, edge, aw, ah, start, end),
      2);
  return py::tuple(made[0], "video", made[1]);
}

}  // namespace ops
