// A test-only extension module that exercises the py layer directly: declarations and argument
// parsing, exceptions crossing C++ in both directions, attribute helpers, iteration, messages,
// the GIL, and a heap type kept in module state.
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "py/py.hpp"

namespace {

using py::Ref;

// parse(a, b, c=None) -> (a_as_int, b_as_text, c or None)
Ref parse(PyObject*, const py::Params& p) {
  long long a = p.integer(0);
  std::string b = p.text(1);
  return py::tuple(a, b, p.given(2) ? Ref::borrow(p[2]) : py::none());
}

// eight(a, b, c, d, e, f, g, h): the most parameters a declaration may have.
Ref eight(PyObject*, const py::Params& p) {
  Ref out = py::list();
  for (size_t i = 0; i < py::kMaxParams; ++i) py::append(out, Ref::borrow(p[i]));
  return out;
}

// call_through(f, *args): calls f from C++ and hands back its result or its exception.
Ref call_through(PyObject*, const py::Params& p) {
  try {
    return py::call_tuple(p[0], p.rest());
  } catch (py::Error& e) {
    if (e.matches(PyExc_LookupError)) return py::str("caught lookup");
    throw;
  }
}

// throw_cpp(kind): C++ exceptions become Python ones at the boundary.
Ref throw_cpp(PyObject*, const py::Params& p) {
  std::string kind = p.text(0);
  if (kind == "system") throw std::system_error(ENOENT, std::generic_category(), "open");
  if (kind == "alloc") throw std::bad_alloc();
  if (kind == "runtime") throw std::runtime_error("native failure");
  if (kind == "python") py::raise(PyExc_ValueError, "值错误");
  return py::none();
}

// attrs(o): (hasattr(o, "x"), getattr(o, "x", None)), with errors other than AttributeError
// passed on.
Ref attrs(PyObject*, const py::Params& p) {
  Ref x = py::attr_or_null(p[0], "x");
  return py::tuple(bool(x), x ? x : py::none());
}

// collect(iterable): the items as a list, through a C++ range-for.
Ref collect(PyObject*, const py::Params& p) {
  Ref out = py::list();
  for (const Ref& item : py::iterate(p[0])) py::append(out, item);
  return out;
}

// unpack(value, n): a, b, ... = value, as a tuple.
Ref unpack(PyObject*, const py::Params& p) {
  Ref out = py::list();
  for (const Ref& item : py::unpack(Ref::borrow(p[0]), static_cast<size_t>(p.integer(1))))
    py::append(out, item);
  return out;
}

// describe(size, limit, name): a message built from a pattern with a spec, and braces.
Ref describe(PyObject*, const py::Params& p) {
  return py::format("{{{}}} 素材 {:.1f} MB 超过上限 {} MB", Ref::borrow(p[2]), Ref::borrow(p[0]),
                    Ref::borrow(p[1]));
}

// relations(a, b): (a < b, a > b, a + b, a - b, a / b, abs(a)) as Python computes them.
Ref relations(PyObject*, const py::Params& p) {
  Ref a = Ref::borrow(p[0]), b = Ref::borrow(p[1]);
  return py::tuple(py::less(a, b), py::greater(a, b), a + b, a - b, a / b, py::abs(a));
}

// contains(container, item): item in container
Ref contains(PyObject*, const py::Params& p) {
  return py::boolean(py::contains(Ref::borrow(p[0]), Ref::borrow(p[1])));
}

// import_or_none(name): the module, or None when it cannot be imported.
Ref import_or_none(PyObject*, const py::Params& p) {
  Ref m = py::import_or_null(p.text(0).c_str());
  return m ? m : py::none();
}

// sleep_released(seconds, fail): sleeps without the GIL; with `fail`, throws from inside.
Ref sleep_released(PyObject*, const py::Params& p) {
  auto span = std::chrono::duration<double>(py::to_double(p[0]));
  bool fail = p.given(1) && py::truthy(p[1]);
  return py::boolean(py::without_gil([&] {
    std::this_thread::sleep_for(span);
    if (fail) throw std::runtime_error("failed without the GIL");
    return true;
  }));
}

// ---- a type kept in module state --------------------------------------------------------

struct Box {
  Ref content;
  int traverse(visitproc visit, void* arg) const { return py::visit(visit, arg, content); }
  void clear() { content = Ref(); }
};

struct State {
  Ref box_type;
  auto refs() { return std::tie(box_type); }
};

Ref box_new(PyTypeObject* type, const py::Params& p) {
  return py::make_instance<Box>(type, Box{Ref::borrow(p[0])});
}

Ref box_content(PyObject* self, const py::Params&) { return py::native<Box>(self).content; }

PyMethodDef kBoxMethods[] = {
    py::method<"content", "", "What the box holds.", box_content>(),
    py::end_of_table(),
};

using BoxNew = py::Constructor<"Box", "content", "A box around one object.", box_new>;

// make_box(content): a Box made from the type in the module's state, whatever `Box` names now.
Ref make_box(PyObject* m, const py::Params& p) {
  return py::make_instance<Box>(py::state<State>(m).box_type, Box{Ref::borrow(p[0])});
}

// unbox(obj): the content of a Box, TypeError for anything else.
Ref unbox(PyObject* m, const py::Params& p) {
  Box* box = py::native_if<Box>(p[0], py::state<State>(m).box_type);
  if (box == nullptr) py::raise(PyExc_TypeError, py::format("not a Box: {}", py::type_name(p[0])));
  return box->content;
}

void exec_probe(PyObject* m) {
  State& s = py::state<State>(m);
  s.box_type = py::new_type(m, py::constructed_type<Box, BoxNew>("_layer_probe.Box", kBoxMethods));
  py::add(m, "Box", s.box_type);
}

PY_EXPORT(_layer_probe, py::function<"parse", "a, b, c=None", "", parse>());
PY_EXPORT(_layer_probe, py::function<"eight", "a, b, c, d, e, f, g, h", "", eight>());
PY_EXPORT(_layer_probe, py::function<"call_through", "f, *args", "", call_through>());
PY_EXPORT(_layer_probe, py::function<"throw_cpp", "kind", "", throw_cpp>());
PY_EXPORT(_layer_probe, py::function<"attrs", "o", "", attrs>());
PY_EXPORT(_layer_probe, py::function<"collect", "iterable", "", collect>());
PY_EXPORT(_layer_probe, py::function<"unpack", "value, n", "", unpack>());
PY_EXPORT(_layer_probe, py::function<"describe", "size, limit, name", "", describe>());
PY_EXPORT(_layer_probe, py::function<"relations", "a, b", "", relations>());
PY_EXPORT(_layer_probe, py::function<"contains", "container, item", "", contains>());
PY_EXPORT(_layer_probe, py::function<"import_or_none", "name", "", import_or_none>());
PY_EXPORT(_layer_probe, py::function<"sleep_released", "seconds, fail=False",
                                     "Sleep without the GIL.", sleep_released>());
PY_EXPORT(_layer_probe, py::function<"make_box", "content", "", make_box>());
PY_EXPORT(_layer_probe, py::function<"unbox", "obj", "", unbox>());

}  // namespace

PY_MODULE(_layer_probe, nullptr, exec_probe, State)
