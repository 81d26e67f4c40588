// Output discovery: the file the host's FFmpeg output actually wrote. Its name varies with the
// host version and container (prefix + ".mp4", or prefix + frame range + ".mp4"), so it is
// searched for by prefix in the output directory and the newest match wins.
#include "render.hpp"

namespace render {

py::Ref named_after(PyObject* m, const py::Ref& prefix) {
  py::Ref os = py::global(m, "os");
  py::Ref path = py::attr(os, "path");
  py::Ref directory = py::call_method(path.get(), "dirname", prefix);
  if (!py::truthy(directory.get())) directory = py::str(".");
  py::Ref base = py::call_method(path.get(), "basename", prefix);

  py::Ref found = py::list();
  for (const py::Ref& name : py::iterate(py::call_method(os.get(), "listdir", directory))) {
    if (!py::truthy(py::call_method(name, "startswith", base))) continue;
    if (py::equals(name, base)) continue;  // the placeholder is never a candidate
    py::append(found, py::call_method(path, "join", directory, name));
  }
  return found;
}

py::Ref resolve_ffmpeg_output(PyObject* m, const py::Ref& prefix) {
  py::Ref os = py::global(m, "os");
  py::Ref best, best_time;
  for (const py::Ref& candidate : py::iterate(named_after(m, prefix))) {
    py::Ref mtime = py::attr(py::call_method(os, "stat", candidate), "st_mtime_ns");
    // Strictly newer only: among equal times the first in listing order stays.
    if (!best || py::greater(mtime, best_time)) {
      best = candidate;
      best_time = mtime;
    }
  }
  if (best) return best;

  // The host wrote the video into the placeholder itself: give it its extension.
  if (has_content(m, prefix)) {
    py::Ref moved = prefix + py::str(".mp4");
    py::call_method(os.get(), "replace", prefix, moved);
    return moved;
  }
  py::raise(PyExc_RuntimeError, "渲染完成但未找到输出文件，请检查 Blender 的输出设置");
}

py::Ref resolve_ffmpeg_output_fn(PyObject* m, const py::Params& p) {
  return resolve_ffmpeg_output(m, py::Ref::borrow(p.str_object(0)));
}

PY_EXPORT(render, py::function<"_resolve_ffmpeg_output", "prefix",
                               "The newest file the FFmpeg output wrote for an output prefix.",
                               resolve_ffmpeg_output_fn>());

}  // namespace render
