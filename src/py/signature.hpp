// A function's name and parameter list, written once as string literals and turned at compile
// time into what the parser needs (names, how many are required, a *args tail) and into the
// docstring whose first line gives `inspect.signature`.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace py {

// The most named parameters one function may have: the parser keeps its values in a fixed
// array, and a longer list does not compile.
inline constexpr size_t kMaxParams = 8;

// A string literal as a template argument: py::function<"name", ...>.
template <size_t N>
struct Literal {
  char text[N]{};
  consteval Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// What the parser reads of a declaration.
struct Signature {
  const char* func;  // the name Python sees, for messages
  std::array<const char*, kMaxParams> names;
  size_t count;     // named parameters
  size_t required;  // the leading ones without a default
  bool varargs;     // a final "*args" collects extra positional arguments
};

namespace detail {

// Where each name starts in a parameter list like "a, b, c=None, *args".
struct Layout {
  std::array<size_t, kMaxParams> start{};
  size_t count = 0, required = 0;
  bool varargs = false;
};

constexpr bool name_char(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Reaching a `throw` stops the compilation: each one names the fault in the literal.
consteval Layout layout(std::string_view list) {
  Layout out;
  bool defaults = false;
  size_t i = 0;
  while (i < list.size()) {
    if (out.varargs) throw "py: *args must be the last parameter";
    bool star = list[i] == '*';
    if (star) ++i;
    size_t begin = i;
    while (i < list.size() && name_char(list[i])) ++i;
    if (i == begin) throw "py: a parameter needs a name (list them as \"a, b, c=None\")";
    if (star) {
      out.varargs = true;
    } else {
      if (out.count == kMaxParams) throw "py: more parameters than py::kMaxParams";
      out.start[out.count++] = begin;
    }
    bool has_default = i < list.size() && list[i] == '=';
    if (has_default && star) throw "py: *args takes no default";
    if (has_default) {
      while (i < list.size() && list[i] != ',') ++i;
      defaults = true;
    } else if (!star) {
      if (defaults) throw "py: a required parameter follows one with a default";
      out.required = out.count;
    }
    if (i == list.size()) break;
    if (list.substr(i, 2) != ", ") throw "py: separate parameters by \", \"";
    i += 2;
  }
  return out;
}

// The list with every name ended by a NUL, so that names can point into it.
template <Literal P>
inline constexpr auto name_buffer = [] {
  std::array<char, P.view().size() + 1> b{};
  for (size_t i = 0; i < P.view().size(); ++i) b[i] = name_char(P.view()[i]) ? P.view()[i] : '\0';
  return b;
}();

template <Literal P>
inline constexpr Layout layout_of = layout(P.view());

}  // namespace detail

template <Literal Name, Literal P>
inline constexpr Signature signature_of = [] {
  const auto& l = detail::layout_of<P>;
  Signature s{Name.text, {}, l.count, l.required, l.varargs};
  for (size_t i = 0; i < l.count; ++i) s.names[i] = detail::name_buffer<P>.data() + l.start[i];
  return s;
}();

// How the docstring's signature line begins: module functions and methods take their bound
// first argument positionally, a type's constructor shows its call as written.
enum class Kind { function, method, constructor };

namespace detail {

template <Kind K>
constexpr std::string_view head() {
  if constexpr (K == Kind::function) return "$module, /";
  if constexpr (K == Kind::method) return "$self, /";
  return "";
}

template <Literal Name, Literal P, Literal Doc, Kind K>
consteval auto doc() {
  constexpr std::string_view parts_head = head<K>();
  constexpr std::string_view sep = !parts_head.empty() && !P.view().empty() ? ", " : "";
  constexpr std::string_view parts[] = {Name.view(), "(",         parts_head, sep,
                                        P.view(),    ")\n--\n\n", Doc.view()};
  constexpr size_t n = [&] {
    size_t total = 0;
    for (std::string_view s : parts) total += s.size();
    return total;
  }();
  std::array<char, n + 1> out{};
  size_t at = 0;
  for (std::string_view s : parts)
    for (char c : s) out[at++] = c;
  return out;
}

}  // namespace detail

// "name($module, /, a, b=None)\n--\n\ndoc": the docstring of a declaration.
template <Literal Name, Literal P, Literal Doc, Kind K>
inline constexpr auto doc_of = detail::doc<Name, P, Doc, K>();

}  // namespace py
