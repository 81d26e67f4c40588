// Module `bridge`: the local HTTP bridge that hands one asset to the import page.
#include "bridge.hpp"

namespace {

int exec_bridge(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "config", py::import_sibling(m, "config"));
    py::add(m, "BridgeState", bridge::make_state_type(m));
    py::add(m, "_Event", bridge::make_event_type(m));
    py::add(m, "_Server", bridge::make_server_type(m));
  });
}

PyMethodDef kFunctions[] = {
    PY_FUNCTION("allowed_origin", bridge::allowed_origin,
                "allowed_origin($module, /, site_url)\n--\n\n"
                "The one origin admitted for cross-origin reads: scheme://netloc of site_url."),
    PY_FUNCTION("serve", bridge::serve,
                "serve($module, /, state, site_url)\n--\n\n"
                "Start the bridge for one job; returns (server, port) once it is listening."),
    PY_FUNCTIONS_END,
};

}  // namespace

PY_MODULE(bridge, "The local bridge to the import page.", kFunctions, exec_bridge)
