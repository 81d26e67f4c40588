// Module `ops`: asset production, the send operator and the panel drawing, the bodies that
// the registration layer forwards to. Unlike `render` it needs the host API: loading it
// outside Blender fails with the import error of `bpy`.
#include "ops.hpp"

namespace {

int exec_ops(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "os", py::import("os"));
    py::add(m, "webbrowser", py::import("webbrowser"));
    py::add(m, "bpy", py::import("bpy"));
    py::add(m, "bridge", py::import_sibling(m, "bridge"));
    py::add(m, "config", py::import_sibling(m, "config"));
    py::add(m, "render", py::import_sibling(m, "render"));
    py::add(m, "_ASPECTS", ops::aspects());
  });
}

PyMethodDef kFunctions[] = {
    PY_FUNCTION("_aspect_wh", ops::aspect_wh,
                "_aspect_wh($module, /, key)\n--\n\n"
                "(width ratio, height ratio) of an aspect key; 16:9 for an unknown key."),
    PY_FUNCTION("_long_edge", ops::long_edge,
                "_long_edge($module, /, key)\n--\n\n"
                "Long edge in pixels of a resolution preset key; the first preset's otherwise."),
    PY_FUNCTION("_wrap", ops::wrap,
                "_wrap($module, /, text, width)\n--\n\n"
                "The text cut into pieces of `width` characters; [''] for empty text."),
    PY_FUNCTION("_produce", ops::produce,
                "_produce($module, /, context, scene, props)\n--\n\n"
                "Render or normalise the asset the panel asks for: (path, kind, meta)."),
    PY_FUNCTION("execute_send", ops::execute_send,
                "execute_send($module, /, op, context)\n--\n\n"
                "The send operator: produce, check the size, serve, open the import page."),
    PY_FUNCTION("draw_panel", ops::draw_panel,
                "draw_panel($module, /, panel, context)\n--\n\nDraw the add-on's panel."),
    PY_FUNCTIONS_END,
};

}  // namespace

PY_MODULE(ops, "Send operator and panel.", kFunctions, exec_ops)
