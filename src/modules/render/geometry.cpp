// Output geometry and limits: what fixes an output's numbers before the host is touched.
#include "core/geometry.hpp"

#include <utility>

#include "core/staging.hpp"
#include "render.hpp"

namespace render {

std::pair<long long, long long> checked_resolution(long long long_edge, long long aspect_w,
                                                   long long aspect_h) {
  if (aspect_w <= 0 || aspect_h <= 0) py::raise(PyExc_ValueError, "画幅比例必须为正");
  auto size = tavro::core::resolution_for(long_edge, aspect_w, aspect_h);
  return {size.width, size.height};
}

py::Ref resolution_for(PyObject*, const py::Params& p) {
  long long long_edge = p.integer(0), aspect_w = p.integer(1), aspect_h = p.integer(2);
  auto [w, h] = checked_resolution(long_edge, aspect_w, aspect_h);
  return py::tuple(w, h);
}

PY_EXPORT(render,
          py::function<"resolution_for", "long_edge, aspect_w, aspect_h",
                       "Even pixel size (width, height) for a long edge and an aspect ratio.",
                       resolution_for>());

py::Ref clamp_frame_range(PyObject*, const py::Params& p) {
  long long start = p.integer(0), end = p.integer(1), fps = p.integer(2),
            max_seconds = p.integer(3);
  auto r = tavro::core::clamp_frame_range(start, end, fps, max_seconds);
  return py::tuple(r.start, r.end, r.truncated);
}

PY_EXPORT(render, py::function<"clamp_frame_range", "start, end, fps, max_seconds",
                               "(start, end, truncated): a forward range cut to max_seconds.",
                               clamp_frame_range>());

bool supported_video(PyObject* m, const std::string& path) {
  // Lower-casing goes through str.lower so that it is Python's Unicode rule exactly.
  py::Ref ext = py::call_method(py::str(tavro::core::extension_of(path)).get(), "lower");
  return py::contains(py::attr(py::global(m, "config"), "LOCAL_VIDEO_EXTS"), ext);
}

py::Ref is_supported_video(PyObject* m, const py::Params& p) {
  return py::boolean(supported_video(m, p.text(0)));
}

PY_EXPORT(render, py::function<"is_supported_video", "path",
                               "Whether the path's extension is an accepted video extension.",
                               is_supported_video>());

py::Ref make_tmp_path(PyObject* m, const py::Ref& suffix) {
  // tempfile.mkstemp creates the file exclusively with owner-only permissions on every
  // platform; the descriptor is closed at once and the empty file stays as a placeholder. A
  // folder that is missing or cannot be written raises the OS error, naming the file it tried.
  py::Ref os = py::global(m, "os");
  py::Ref made = py::call_tuple(
      py::attr(py::global(m, "tempfile"), "mkstemp").get(), py::tuple(),
      py::kwargs({{"suffix", suffix}, {"prefix", py::str(tavro::core::kStagePrefix)}}));
  py::call(py::attr(os, "close"), py::item(made, 0));
  return py::call(py::attr(py::attr(os, "path"), "abspath"), py::item(made, 1));
}

py::Ref tmp_path(PyObject* m, const py::Params& p) {
  return make_tmp_path(m, py::Ref::borrow(p.str_object(0)));
}

PY_EXPORT(render,
          py::function<"_tmp_path", "suffix",
                       "A new empty temporary file named lumo_stage_*<suffix>; its absolute path.",
                       tmp_path>());

}  // namespace render
