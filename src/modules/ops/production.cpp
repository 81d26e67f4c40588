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
Ref find_row(PyObject* table, PyObject* key) {
  Ref it = Ref::steal(PyObject_GetIter(table));
  while (Ref row = Ref::adopt(PyIter_Next(it.get()))) {
    Ref row_key = Ref::steal(PySequence_GetItem(row.get(), 0));
    if (py::equals(row_key.get(), key)) return row;
  }
  if (PyErr_Occurred()) py::throw_pending();
  return Ref();
}

Ref item(const Ref& seq, Py_ssize_t i) { return Ref::steal(PySequence_GetItem(seq.get(), i)); }

Ref long_edge_of(PyObject* m, PyObject* key) {
  Ref presets = py::attr(py::global(m, "config"), "RESOLUTION_PRESETS");
  Ref row = find_row(presets.get(), key);
  if (!row) row = item(presets, 0);
  return item(row, 2);
}

std::pair<Ref, Ref> aspect_of(PyObject* m, PyObject* key) {
  Ref row = find_row(py::global(m, "_ASPECTS").get(), key);
  if (!row) return {py::integer(kFallbackW), py::integer(kFallbackH)};
  return {item(row, 2), item(row, 3)};
}

[[noreturn]] void invalid(const char* message) { py::raise(PyExc_ValueError, message); }

}  // namespace

Ref aspects() {
  Ref rows = Ref::steal(PyTuple_New(std::size(kAspects)));
  Py_ssize_t i = 0;
  for (const Aspect& a : kAspects)
    PyTuple_SetItem(rows.get(), i++, py::tuple(a.key, a.label, a.w, a.h).release());
  return rows;
}

Ref aspect_wh(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("_aspect_wh", args, kwargs, {"key"});
  auto [w, h] = aspect_of(m, p[0]);
  return py::tuple(w, h);
}

Ref long_edge(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("_long_edge", args, kwargs, {"key"});
  return long_edge_of(m, p[0]);
}

Ref wrap_text(PyObject* text, long long width) {
  if (width < 1) py::raise(PyExc_ValueError, "width must be a positive integer");
  Py_ssize_t n = PyUnicode_GetLength(text);
  if (n < 0) py::throw_pending();
  Ref pieces = py::list();
  for (Py_ssize_t start = 0; start < n; start += static_cast<Py_ssize_t>(width)) {
    Py_ssize_t end = n - start <= width ? n : start + static_cast<Py_ssize_t>(width);
    py::append(pieces, Ref::steal(PyUnicode_Substring(text, start, end)));
  }
  if (n == 0) py::append(pieces, py::str(""));
  return pieces;
}

Ref wrap(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Params p("_wrap", args, kwargs, {"text", "width"});
  PyObject* text = p.str_object(0);
  return wrap_text(text, p.integer(1));
}

Ref produce(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("_produce", args, kwargs, {"context", "scene", "props"});
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
    auto made = unpack(
        with_frame_progress(
            m, [&] { return py::call_method(render.get(), "transcode_local_video", src, edge); }),
        2);
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
    auto made =
        unpack(py::call_method(render.get(), "render_snapshot", scene, camera, edge, aw, ah), 2);
    return py::tuple(made[0], "image", made[1]);
  }
  Ref start = py::attr(props, "frame_start");
  Ref end = py::attr(props, "frame_end");
  auto made =
      unpack(with_frame_progress(m,
                                 [&] {
                                   return py::call_method(render.get(), "render_animation", scene,
                                                          camera, edge, aw, ah, start, end);
                                 }),
             2);
  return py::tuple(made[0], "video", made[1]);
}

// ---- shared helpers -------------------------------------------------------------------------

std::vector<Ref> unpack(const Ref& value, size_t n) {
  Ref it = Ref::steal(PyObject_GetIter(value.get()));
  std::vector<Ref> items;
  while (Ref v = Ref::adopt(PyIter_Next(it.get()))) {
    if (items.size() == n)
      py::raise(PyExc_ValueError, "too many values to unpack (expected " + std::to_string(n) + ")");
    items.push_back(std::move(v));
  }
  if (PyErr_Occurred()) py::throw_pending();
  if (items.size() < n)
    py::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                    ", got " + std::to_string(items.size()) + ")");
  return items;
}

Ref format(const Ref& value, const char* spec) {
  return Ref::steal(PyObject_Format(value.get(), py::str(spec).get()));
}

Ref whole(const Ref& value) {
  return Ref::steal(PyObject_Str(Ref::steal(PyNumber_Long(value.get())).get()));
}

Ref text_set(const char* text) {
  Ref s = Ref::steal(PySet_New(nullptr));
  if (PySet_Add(s.get(), py::str(text).get()) < 0) py::throw_pending();
  return s;
}

Ref concat(const Ref& a, const Ref& b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }

void report(PyObject* op, const char* level, const Ref& message) {
  py::call_method(op, "report", text_set(level), message);
}

void report(PyObject* op, const char* level, const char* message) {
  report(op, level, py::str(message));
}

void for_each(const Ref& iterable, const std::function<void(const Ref&)>& fn) {
  Ref it = Ref::steal(PyObject_GetIter(iterable.get()));
  while (Ref item = Ref::adopt(PyIter_Next(it.get()))) fn(item);
  if (PyErr_Occurred()) py::throw_pending();
}

}  // namespace ops
