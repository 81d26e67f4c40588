// Module `render`: output geometry, the scene guard, white-model renders and local video
// normalisation. Loads `config` from its own package; tolerates a missing host API, so its
// host-free functions work outside Blender.
#include "render.hpp"

namespace {

void exec_render(PyObject* m) {
  render::Types& t = py::state<render::Types>(m);
  t.guard = render::make_guard_type(m);
  t.job = render::make_job_type(m);
  py::add(m, "contextlib", py::import("contextlib"));
  py::add(m, "os", py::import("os"));
  py::add(m, "tempfile", py::import("tempfile"));
  py::add(m, "config", py::import_sibling(m, "config"));
  py::Ref bpy = py::import_or_null("bpy");
  py::add(m, "bpy", bpy ? bpy : py::none());
  py::add(m, "_scene_guard", t.guard);
  py::add(m, "RenderJob", t.job);
  py::add(m, "_GUARDED_SETTINGS", render::guarded_settings());
}

}  // namespace

PY_MODULE(render, "White-model renders and video normalisation.", exec_render, render::Types)
