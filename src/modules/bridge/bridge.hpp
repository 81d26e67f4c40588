// Module `bridge`: the Python face of the native bridge. The job's state, the origin policy and
// `serve` live here; the HTTP server itself is native (src/net) and never touches Python.
#pragma once

#include <memory>
#include <string>

#include "net/event.hpp"
#include "net/server.hpp"
#include "py/py.hpp"

namespace bridge {

// The state of one import job; fields are fixed at construction.
struct State {
  py::Ref file_path, kind, meta, token, created_at, done;
  std::string token_text;
  double created = 0;
  std::shared_ptr<tavro::net::Event> event;

  int traverse(visitproc visit, void* arg) {
    Py_VISIT(file_path.get());
    Py_VISIT(kind.get());
    Py_VISIT(meta.get());
    Py_VISIT(done.get());
    return 0;
  }
  void clear() { meta = py::Ref(); }
};

struct EventHandle {
  std::shared_ptr<tavro::net::Event> event;
};

struct ServerHandle {
  std::shared_ptr<tavro::net::Server> server;
  std::string host;
  std::shared_ptr<const tavro::net::Stats> stats;  // counted by the server's threads
};

// Types, created per module and kept as module attributes.
py::Ref make_state_type(PyObject* m);
py::Ref make_event_type(PyObject* m);
py::Ref make_server_type(PyObject* m);

// Whether `obj` is a BridgeState of this module.
State* state_of(PyObject* m, PyObject* obj);
py::Ref new_event(PyObject* m, std::shared_ptr<tavro::net::Event> event);

py::Ref allowed_origin(PyObject* m, PyObject* args, PyObject* kwargs);
std::string origin_of(const py::Ref& site_url);
py::Ref serve(PyObject* m, PyObject* args, PyObject* kwargs);

}  // namespace bridge
