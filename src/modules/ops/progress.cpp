// Frames done of the total while an animation or a video renders. The send blocks the
// interface for the whole render, so the host's own progress indicator (the number in the
// mouse cursor, which the host shows without redrawing) is what tells the user the render
// goes on. A render_write handler drives it per written frame; it is in the host's handler
// list only while the render runs, whatever way the render ends.
#include <algorithm>

#include "ops.hpp"

namespace ops {

using py::Ref;

namespace {

// The handler's own record, a dict that the handler holds as its `self`: the window manager,
// and the total it has announced (0: not yet).
long long announced(PyObject* progress) {
  Ref total = py::get_item(progress, "total");
  return total ? py::to_long(total.get()) : 0;
}

// The frame the scene being rendered has just written, against its range. The render may be
// of another scene than the user's (a video is normalised in a scene of its own), so the range
// is read from the scene the host passes.
Ref on_frame(PyObject* progress, const py::Params& p) {
  if (py::length(p.rest()) == 0) return py::none();
  Ref scene = py::item(p.rest(), 0);
  if (scene.is_none()) return py::none();
  try {
    Ref wm = py::lookup(progress, "wm");
    long long start = py::to_long(py::attr(scene, "frame_start").get());
    long long end = py::to_long(py::attr(scene, "frame_end").get());
    long long current = py::to_long(py::attr(scene, "frame_current").get());
    long long total = std::max(1LL, end - start + 1);
    if (announced(progress) != total) {
      py::call_method(wm.get(), "progress_begin", 0, total);
      py::set_item(Ref::borrow(progress), "total", py::integer(total));
    }
    long long done = std::max(0LL, std::min(total, current - start + 1));
    py::call_method(wm.get(), "progress_update", done);
  } catch (py::Error& e) {
    // A progress display that fails must not print into the host's console at every frame;
    // the render goes on. Interrupts still pass.
    if (!e.matches(PyExc_Exception)) throw;
  }
  return py::none();
}

// Bound to its record; the host passes the scene, and on newer hosts the depsgraph too.
PyMethodDef kOnFrame =
    py::function<"_on_frame", "*args", "Shows the frame just written in the host's progress.",
                 on_frame>();

void finish(const Ref& handlers, const Ref& handler, const Ref& progress) {
  Ref present = py::call_method(handlers.get(), "count", handler);
  if (py::to_long(present.get()) > 0) py::call_method(handlers.get(), "remove", handler);
  if (announced(progress.get()) > 0) {
    py::call_method(py::lookup(progress, "wm"), "progress_end");
  }
}

}  // namespace

Ref with_frame_progress(PyObject* m, const std::function<Ref()>& body) {
  Ref bpy = py::global(m, "bpy");
  Ref progress = py::dict();
  py::set_item(progress, "wm", py::attr(py::attr(bpy, "context"), "window_manager"));
  py::set_item(progress, "total", py::integer(0));
  Ref handlers = py::attr(py::attr(py::attr(bpy, "app"), "handlers"), "render_write");
  Ref handler = py::bind(&kOnFrame, progress);
  py::call_method(handlers.get(), "append", handler);
  // The render's own error is what the caller gets, even when the clean-up fails too.
  return py::with_clean_up(body, [&] { finish(handlers, handler, progress); });
}

}  // namespace ops
