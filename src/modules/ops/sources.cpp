#include "sources.hpp"

namespace ops {
const Source& fallback_source() {
  for (const Source& s : kSources)
    if (s.fallback) return s;
  return kSources[0];  // not reached: the table is checked when compiled
}

const Source* find_source(PyObject* key) {
  for (const Source& s : kSources)
    if (py::equals(key, py::str(s.key).get())) return &s;
  return nullptr;
}

const Source& source_or_fallback(PyObject* key) {
  const Source* s = find_source(key);
  return s ? *s : fallback_source();
}

const Source& source_of_asset(PyObject* kind) {
  for (const Source& s : kSources)
    if (py::equals(kind, py::str(s.asset_kind).get())) return s;
  return fallback_source();
}

py::Ref source_keys() {
  py::Ref keys = py::list();
  for (const Source& s : kSources) py::append(keys, py::str(s.key));
  return py::tuple_of(keys);
}

}  // namespace ops
