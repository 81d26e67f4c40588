// Messages as Python builds them: py::format("素材 {:.1f} MB 超过上限 {} MB", size, limit) is the
// str that "素材 {:.1f} MB 超过上限 {} MB".format(size, limit) gives.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "object.hpp"

namespace py {
namespace detail {

// The fields of a pattern: "{}" or "{:spec}"; "{{" and "}}" stand for single braces. Any other
// brace stops the compilation.
consteval size_t count_fields(std::string_view p) {
  size_t fields = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '}') {
      if (i + 1 < p.size() && p[i + 1] == '}') {
        ++i;
        continue;
      }
      throw "py::format: a single '}' (write '}}')";
    }
    if (p[i] != '{') continue;
    if (i + 1 < p.size() && p[i + 1] == '{') {
      ++i;
      continue;
    }
    if (i + 1 < p.size() && p[i + 1] != '}' && p[i + 1] != ':')
      throw "py::format: fields are {} or {:spec}, in argument order";
    size_t close = p.find('}', i);
    if (close == std::string_view::npos) throw "py::format: an unclosed '{'";
    if (p.substr(i + 1, close - i - 1).find('{') != std::string_view::npos)
      throw "py::format: no nested fields";
    ++fields;
    i = close;
  }
  return fields;
}

}  // namespace detail

// A pattern whose fields match the arguments in number, checked when it is compiled.
template <class... A>
struct Pattern {
  std::string_view text;
  template <size_t N>
  consteval Pattern(const char (&s)[N]) : text(s, N - 1) {
    if (detail::count_fields(text) != sizeof...(A))
      throw "py::format: the pattern's fields and the arguments differ in number";
  }
};

// The pattern with each field replaced by format(value, spec) of its argument, in order; an
// empty spec gives str(value). `values` has one entry per field.
Ref format_fields(std::string_view pattern, const Ref* values);

template <class... A>
Ref format(Pattern<std::type_identity_t<A>...> pattern, A&&... args) {
  const Ref values[] = {to_py(std::forward<A>(args))..., Ref()};
  return format_fields(pattern.text, values);
}

}  // namespace py
