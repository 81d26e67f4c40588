#include "format.hpp"

namespace py {

Ref format_fields(std::string_view pattern, const Ref* values) {
  Ref pieces = list();
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) append(pieces, str(literal));
    literal.clear();
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if ((c == '{' || c == '}') && i + 1 < pattern.size() && pattern[i + 1] == c) {
      literal += c;  // a doubled brace stands for itself
      ++i;
      continue;
    }
    if (c != '{') {
      literal += c;
      continue;
    }
    size_t close = pattern.find('}', i);
    std::string_view spec = pattern.substr(i + 1, close - i - 1);
    if (!spec.empty()) spec.remove_prefix(1);  // the ':'
    flush();
    append(pieces, Ref::steal(PyObject_Format(values->get(), str(spec).get())));
    ++values;
    i = close;
  }
  flush();
  return Ref::steal(PyUnicode_Join(str("").get(), pieces.get()));
}

}  // namespace py
