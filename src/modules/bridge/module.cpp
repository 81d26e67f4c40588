// Module `bridge`: the local HTTP bridge that hands one asset to the import page.
#include "bridge.hpp"

namespace {

void exec_bridge(PyObject* m) {
  bridge::Types& t = bridge::types(m);
  t.state = bridge::make_state_type(m);
  t.event = bridge::make_event_type(m);
  t.server = bridge::make_server_type(m);
  py::add(m, "config", py::import_sibling(m, "config"));
  py::add(m, "BridgeState", t.state);
  py::add(m, "_Event", t.event);
  py::add(m, "_Server", t.server);
}

PyMethodDef kFunctions[] = {
    py::function<"allowed_origin", "site_url",
                 "The one origin admitted for cross-origin reads: scheme://netloc of site_url.",
                 bridge::allowed_origin>(),
    py::function<"serve", "state, site_url",
                 "Start the bridge for one job; returns (server, port) once it is listening.",
                 bridge::serve>(),
    py::end_of_table(),
};

}  // namespace

PY_MODULE(bridge, "The local bridge to the import page.", kFunctions, exec_bridge, bridge::Types)
