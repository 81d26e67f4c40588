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

}  // namespace

PY_MODULE(bridge, "The local bridge to the import page.", exec_bridge, bridge::Types)
