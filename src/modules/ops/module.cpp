// Module `ops`: asset production, the send operator and the panel drawing, the bodies that
// the registration layer forwards to. Unlike `render` it needs the host API: loading it
// outside Blender fails with the import error of `bpy`.
#include "ops.hpp"

namespace {

int exec_ops(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "os", py::import("os"));
    py::add(m, "webbrowser", py::import("webbrowser"));
    py::add(m, "subprocess", py::import("subprocess"));
    py::add(m, "sys", py::import("sys"));
    py::add(m, "bpy", py::import("bpy"));
    py::add(m, "bridge", py::import_sibling(m, "bridge"));
    py::add(m, "config", py::import_sibling(m, "config"));
    py::add(m, "render", py::import_sibling(m, "render"));
    py::add(m, "_ASPECTS", ops::aspects());
    // The bridges this session started, newest first, and what the panel last showed of them.
    py::add(m, "_bridges", py::list());
    py::add(m, "_shown", py::list());
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
    PY_FUNCTION("open_import_page", ops::open_import_page,
                "open_import_page($module, /, op, context)\n--\n\n"
                "Open the import page of the operator's bridge again."),
    PY_FUNCTION("show_asset_file", ops::show_asset_file,
                "show_asset_file($module, /, op, context)\n--\n\n"
                "Show the operator's bridge's asset file in the system's file manager."),
    PY_FUNCTION("stop_bridge", ops::stop_bridge,
                "stop_bridge($module, /, op, context)\n--\n\nStop the operator's bridge."),
    PY_FUNCTION("stop_all_bridges", ops::stop_all_bridges,
                "stop_all_bridges($module, /)\n--\n\n"
                "Close every bridge this session started and stop the panel's timer."),
    PY_FUNCTION("_bridge_rows", ops::bridge_rows_fn,
                "_bridge_rows($module, /)\n--\n\n"
                "The bridges the panel shows: (id, file name, kind, phase, text, alive)."),
    PY_FUNCTION("_tick", ops::tick,
                "_tick($module, /)\n--\n\n"
                "The panel's timer: redraws on a change; None (stop) once no bridge is alive."),
    PY_FUNCTIONS_END,
};

}  // namespace

PY_MODULE(ops, "Send operator and panel.", kFunctions, exec_ops)
