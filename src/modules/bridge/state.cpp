// BridgeState: the complete, fixed state of one import job, and its one-shot `done` event.
#include <cmath>

#include "bridge.hpp"
#include "net/token.hpp"

namespace bridge {
namespace {

PyObject* module_of(PyObject* self) {
  PyObject* m = PyType_GetModule(Py_TYPE(self));
  if (m == nullptr) py::throw_pending();
  return m;
}

// ---- the done event -------------------------------------------------------------------------

py::Ref event_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("set", args, kwargs, {});
  py::native<EventHandle>(self).event->set();
  return py::none();
}

py::Ref event_is_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("is_set", args, kwargs, {});
  return py::boolean(py::native<EventHandle>(self).event->is_set());
}

// Waits with the GIL released, in short slices so that Ctrl-C reaches the waiting thread.
py::Ref event_wait(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("wait", args, kwargs, {"timeout"}, 0);
  double timeout = -1;
  if (p.given(0) && !py::Ref::borrow(p[0]).is_none()) {
    timeout = py::to_double(py::Ref::steal(PyNumber_Float(p[0])).get());
    if (std::isnan(timeout)) py::raise(PyExc_ValueError, "timeout must be a number");
    if (timeout < 0) timeout = 0;
  }
  auto event = py::native<EventHandle>(self).event;
  constexpr double kSlice = 0.05;
  double left = timeout;
  for (;;) {
    double step = timeout < 0 ? kSlice : std::min(kSlice, left);
    bool set = false;
    Py_BEGIN_ALLOW_THREADS set = event->wait_for(step);
    Py_END_ALLOW_THREADS if (set) return py::boolean(true);
    if (PyErr_CheckSignals() < 0) py::throw_pending();
    if (timeout >= 0) {
      left -= step;
      if (left <= 0) return py::boolean(event->is_set());
    }
  }
}

PyMethodDef kEventMethods[] = {
    PY_FUNCTION("set", event_set, "set($self, /)\n--\n\nSet the event; waiters wake."),
    PY_FUNCTION("is_set", event_is_set, "is_set($self, /)\n--\n\nWhether the event is set."),
    PY_FUNCTION("wait", event_wait,
                "wait($self, /, timeout=None)\n--\n\nBlock until set or the timeout passes; "
                "returns whether it is set."),
    PY_FUNCTIONS_END,
};

PyType_Slot kEventSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc<EventHandle>)},
    {Py_tp_methods, kEventMethods},
    {Py_tp_doc, const_cast<char*>("One-shot event: set once, never cleared.")},
    {0, nullptr},
};

PyType_Spec kEventSpec = {"tavro_blender_uploader.bridge.Event",
                          static_cast<int>(sizeof(py::Instance<EventHandle>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kEventSlots};

// ---- BridgeState ----------------------------------------------------------------------------

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&] {
    py::Params p("BridgeState", args, kwargs, {"file_path", "kind", "meta"});
    p.str_object(0);
    p.str_object(1);
    p.dict(2);
    PyObject* m = PyType_GetModule(type);
    if (m == nullptr) py::throw_pending();
    State s;
    s.file_path = py::Ref::borrow(p[0]);
    s.kind = py::Ref::borrow(p[1]);
    s.meta = py::Ref::borrow(p[2]);
    s.token = py::call(py::attr(py::import("secrets"), "token_urlsafe"), 32);
    s.token_text = py::utf8(s.token.get());
    s.created_at = py::call(py::attr(py::import("time"), "time"));
    s.created = py::to_double(s.created_at.get());
    s.event = std::make_shared<tavro::net::Event>();
    s.done = new_event(m, s.event);
    return py::make_instance<State>(type, std::move(s));
  });
}

py::Ref expired(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("expired", args, kwargs, {});
  State& s = py::native<State>(self);
  py::Ref now = py::call(py::attr(py::import("time"), "time"));
  py::Ref age = py::Ref::steal(PyNumber_Subtract(now.get(), s.created_at.get()));
  py::Ref ttl = py::attr(py::global(module_of(self), "config"), "BRIDGE_TTL_SECONDS");
  return py::Ref::steal(PyObject_RichCompare(age.get(), ttl.get(), Py_GT));
}

py::Ref valid_token(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("valid_token", args, kwargs, {"given"});
  std::string given = p.text(0);
  return py::boolean(tavro::net::token_matches(py::native<State>(self).token_text, given));
}

template <py::Ref State::*Field>
PyObject* field(PyObject* self, void*) noexcept {
  return py::Ref(py::native<State>(self).*Field).release();
}

PyGetSetDef kStateFields[] = {
    {"file_path", &field<&State::file_path>, nullptr, "Path of the one file this job serves.",
     nullptr},
    {"kind", &field<&State::kind>, nullptr, "Asset kind, \"image\" or \"video\".", nullptr},
    {"meta", &field<&State::meta>, nullptr, "The caller's metadata dict (by reference).", nullptr},
    {"token", &field<&State::token>, nullptr, "One-time token: 43 base64url characters.", nullptr},
    {"created_at", &field<&State::created_at>, nullptr, "Wall-clock time of construction.",
     nullptr},
    {"done", &field<&State::done>, nullptr, "Set by a successful POST /done.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStateMethods[] = {
    PY_FUNCTION("expired", expired,
                "expired($self, /)\n--\n\nTrue once the job has outlived BRIDGE_TTL_SECONDS."),
    PY_FUNCTION("valid_token", valid_token,
                "valid_token($self, /, given)\n--\n\nConstant-time check of a presented token."),
    PY_FUNCTIONS_END,
};

PyType_Slot kStateSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc<State>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&py::traverse<State>)},
    {Py_tp_clear, reinterpret_cast<void*>(&py::clear<State>)},
    {Py_tp_methods, kStateMethods},
    {Py_tp_getset, kStateFields},
    {Py_tp_doc, const_cast<char*>("BridgeState(file_path, kind, meta)\n--\n\n"
                                  "The state of one import job.")},
    {0, nullptr},
};

PyType_Spec kStateSpec = {"tavro_blender_uploader.bridge.BridgeState",
                          static_cast<int>(sizeof(py::Instance<State>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kStateSlots};

}  // namespace

py::Ref make_state_type(PyObject* m) { return py::new_type(m, &kStateSpec); }
py::Ref make_event_type(PyObject* m) { return py::new_type(m, &kEventSpec); }

py::Ref new_event(PyObject* m, std::shared_ptr<tavro::net::Event> event) {
  py::Ref type = py::global(m, "_Event");
  return py::make_instance<EventHandle>(reinterpret_cast<PyTypeObject*>(type.get()),
                                        EventHandle{std::move(event)});
}

State* state_of(PyObject* m, PyObject* obj) {
  py::Ref type = py::global(m, "BridgeState");
  if (!py::isinstance(obj, type.get())) return nullptr;
  return &py::native<State>(obj);
}

}  // namespace bridge
