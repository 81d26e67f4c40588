// Module `ops`: asset production, the send operator and the panel drawing, the bodies that
// the registration layer forwards to. Unlike `render` it needs the host API: loading it
// outside Blender fails with the import error of `bpy`.
#include "ops.hpp"
#include "sources.hpp"

namespace {

void exec_ops(PyObject* m) {
  py::add(m, "os", py::import("os"));
  py::add(m, "webbrowser", py::import("webbrowser"));
  py::add(m, "subprocess", py::import("subprocess"));
  py::add(m, "sys", py::import("sys"));
  py::add(m, "bpy", py::import("bpy"));
  py::add(m, "bridge", py::import_sibling(m, "bridge"));
  py::add(m, "config", py::import_sibling(m, "config"));
  py::add(m, "render", py::import_sibling(m, "render"));
  py::add(m, "_ASPECTS", ops::aspects());
  py::add(m, "_SOURCES", ops::source_keys());
  // The bridges this session started, newest first, and what the panel last showed of them.
  py::add(m, "_bridges", py::list());
  py::add(m, "_shown", py::list());
  // The send rendering as the host's render job, or None (render_job.cpp).
  py::add(m, "_job", py::none());
}

}  // namespace

PY_MODULE(ops, "Send operator and panel.", exec_ops, void)
