#include "iterate.hpp"

#include "format.hpp"

namespace py {

std::vector<Ref> unpack(const Ref& value, size_t n) {
  std::vector<Ref> items;
  for (const Ref& v : iterate(value)) {
    if (items.size() == n)
      raise(PyExc_ValueError, format("too many values to unpack (expected {})", n));
    items.push_back(v);
  }
  if (items.size() < n)
    raise(PyExc_ValueError,
          format("not enough values to unpack (expected {}, got {})", n, items.size()));
  return items;
}

DictItems items(const Ref& dict) {
  if (!PyDict_Check(dict.get()))
    raise(PyExc_TypeError, format("expected dict, got {}", type_name(dict.get())));
  return DictItems(dict);
}

}  // namespace py
