// Module `ops`: asset production, the send operator and the panel drawing, the bodies that
// the registration layer forwards to. Unlike `render` it needs the host API: loading it
// outside Blender fails with the import error of `bpy`.
#include "ops.hpp"
#include "sources.hpp"

namespace {

void exec_ops(PyObject* m) {
  py::add(m, "os", py::import("os"));
  py::add(m, "webbrowser", py::import("webbrowser"));
  py::add(m, "bpy", py::import("bpy"));
  py::add(m, "bridge", py::import_sibling(m, "bridge"));
  py::add(m, "config", py::import_sibling(m, "config"));
  py::add(m, "render", py::import_sibling(m, "render"));
  py::add(m, "_ASPECTS", ops::aspects());
  py::add(m, "_SOURCES", ops::source_keys());
}

PyMethodDef kFunctions[] = {
    py::function<"_aspect_wh", "key",
                 "(width ratio, height ratio) of an aspect key; 16:9 for an unknown key.",
                 ops::aspect_wh>(),
    py::function<"_long_edge", "key",
                 "Long edge in pixels of a resolution preset key; the first preset's otherwise.",
                 ops::long_edge>(),
    py::function<"_wrap", "text, width",
                 "The text cut into pieces of `width` characters; [''] for empty text.",
                 ops::wrap>(),
    py::function<"_produce", "context, scene, props",
                 "Render or normalise the asset the panel asks for: (path, kind, meta).",
                 ops::produce>(),
    py::function<"execute_send", "op, context",
                 "The send operator: produce, check the size, serve, open the import page.",
                 ops::execute_send>(),
    py::function<"draw_panel", "panel, context", "Draw the add-on's panel.", ops::draw_panel>(),
    py::end_of_table(),
};

}  // namespace

PY_MODULE(ops, "Send operator and panel.", kFunctions, exec_ops, void)
