// BridgeState: the complete, fixed state of one import job, and its one-shot `done` event.
#include <algorithm>
#include <cmath>

#include "bridge.hpp"
#include "net/token.hpp"

namespace bridge {
namespace {

// ---- the done event -------------------------------------------------------------------------

py::Ref event_set(PyObject* self, const py::Params&) {
  py::native<EventHandle>(self).event->set();
  return py::none();
}

py::Ref event_is_set(PyObject* self, const py::Params&) {
  return py::boolean(py::native<EventHandle>(self).event->is_set());
}

// Waits with the GIL released, in short slices so that Ctrl-C reaches the waiting thread.
py::Ref event_wait(PyObject* self, const py::Params& p) {
  double timeout = -1;
  if (p.given(0) && !py::Ref::borrow(p[0]).is_none()) {
    timeout = py::to_double(py::float_of(p[0]));
    if (std::isnan(timeout)) py::raise(PyExc_ValueError, "timeout must be a number");
    if (timeout < 0) timeout = 0;
  }
  auto event = py::native<EventHandle>(self).event;
  constexpr double kSlice = 0.05;
  double left = timeout;
  for (;;) {
    double step = timeout < 0 ? kSlice : std::min(kSlice, left);
    if (py::without_gil([&] { return event->wait_for(step); })) return py::boolean(true);
    py::check_signals();
    if (timeout >= 0) {
      left -= step;
      if (left <= 0) return py::boolean(event->is_set());
    }
  }
}

PyMethodDef kEventMethods[] = {
    py::method<"set", "", "Set the event; waiters wake.", event_set>(),
    py::method<"is_set", "", "Whether the event is set.", event_is_set>(),
    py::method<"wait", "timeout=None",
               "Block until set or the timeout passes; returns whether it is set.", event_wait>(),
    py::end_of_table(),
};

// ---- BridgeState ----------------------------------------------------------------------------

py::Ref state_new(PyTypeObject* type, const py::Params& p) {
  p.str_object(0);
  p.str_object(1);
  p.dict(2);
  PyObject* m = py::module_of(type);
  State s;
  s.file_path = py::Ref::borrow(p[0]);
  s.kind = py::Ref::borrow(p[1]);
  s.meta = py::Ref::borrow(p[2]);
  s.token = py::call(py::attr(py::import("secrets"), "token_urlsafe"), 32);
  s.token_text = py::utf8(s.token);
  s.created_at = py::call(py::attr(py::import("time"), "time"));
  s.created = py::to_double(s.created_at);
  s.event = std::make_shared<tavro::net::Event>();
  s.done = py::make_instance<EventHandle>(types(m).event, EventHandle{s.event});
  return py::make_instance<State>(type, std::move(s));
}

py::Ref expired(PyObject* self, const py::Params&) {
  State& s = py::native<State>(self);
  py::Ref now = py::call(py::attr(py::import("time"), "time"));
  py::Ref ttl = py::attr(py::global(py::module_of_instance(self), "config"), "BRIDGE_TTL_SECONDS");
  return py::compare(now - s.created_at, Py_GT, ttl);
}

py::Ref valid_token(PyObject* self, const py::Params& p) {
  std::string given = p.text(0);
  return py::boolean(tavro::net::token_matches(py::native<State>(self).token_text, given));
}

template <py::Ref State::*Field>
py::Ref field(PyObject* self) {
  return py::native<State>(self).*Field;
}

PyGetSetDef kStateFields[] = {
    {"file_path", &py::getter<field<&State::file_path>>, nullptr,
     "Path of the one file this job serves.", nullptr},
    {"kind", &py::getter<field<&State::kind>>, nullptr, "Asset kind, \"image\" or \"video\".",
     nullptr},
    {"meta", &py::getter<field<&State::meta>>, nullptr,
     "The caller's metadata dict (by reference).", nullptr},
    {"token", &py::getter<field<&State::token>>, nullptr,
     "One-time token: 43 base64url characters.", nullptr},
    {"created_at", &py::getter<field<&State::created_at>>, nullptr,
     "Wall-clock time of construction.", nullptr},
    {"done", &py::getter<field<&State::done>>, nullptr, "Set by a successful POST /done.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStateMethods[] = {
    py::method<"expired", "", "True once the job has outlived BRIDGE_TTL_SECONDS.", expired>(),
    py::method<"valid_token", "given", "Constant-time check of a presented token.", valid_token>(),
    py::end_of_table(),
};

using StateNew = py::Constructor<"BridgeState", "file_path, kind, meta",
                                 "The state of one import job.", state_new>;

}  // namespace

py::Ref make_state_type(PyObject* m) {
  return py::new_type(
      m, py::constructed_type<State, StateNew>("tavro_blender_uploader.bridge.BridgeState",
                                               kStateMethods, kStateFields));
}

py::Ref make_event_type(PyObject* m) {
  return py::new_type(
      m, py::native_type<EventHandle>("tavro_blender_uploader.bridge.Event",
                                      "One-shot event: set once, never cleared.", kEventMethods));
}

}  // namespace bridge
