// Module `bridge`: the Python face of the native bridge. The job's state, the origin policy and
// `serve` live here; the HTTP server itself is native (src/net) and never touches Python.
#pragma once

#include <memory>
#include <string>
#include <tuple>

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

  int traverse(visitproc visit, void* arg) const {
    return py::visit(visit, arg, file_path, kind, meta, done);
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

// The module's own types, made by its exec and kept in its state: what the module's attributes
// of the same names hold is for Python code to read, never used here.
struct Types {
  py::Ref state, event, server;
  auto refs() { return std::tie(state, event, server); }
};
inline Types& types(PyObject* m) { return py::state<Types>(m); }

py::Ref make_state_type(PyObject* m);
py::Ref make_event_type(PyObject* m);
py::Ref make_server_type(PyObject* m);

std::string origin_of(const py::Ref& site_url);

}  // namespace bridge
