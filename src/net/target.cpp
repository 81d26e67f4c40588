#include "target.hpp"

namespace tavro::net {
namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) {
  return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The target with "//..." reduced to "/...", leading C0 controls and spaces stripped and
// tab/CR/LF removed, as urlsplit cleans its input.
std::string cleaned(std::string_view target) {
  std::string reduced;
  if (target.substr(0, 2) == "//") {
    size_t first = target.find_first_not_of('/');
    reduced = "/";
    if (first != std::string_view::npos) reduced += target.substr(first);
    target = reduced;
  }
  size_t start = 0;
  while (start < target.size() && static_cast<unsigned char>(target[start]) <= 0x20) ++start;
  std::string out;
  out.reserve(target.size() - start);
  for (char c : target.substr(start))
    if (c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

struct Split {
  std::string path, query;
};

Split split_target(std::string_view target) {
  std::string url = cleaned(target);
  std::string_view rest = url;
  size_t colon = rest.find(':');
  if (colon != std::string_view::npos && colon > 0 && is_alpha(rest[0])) {
    bool scheme = true;
    for (char c : rest.substr(0, colon)) scheme = scheme && is_scheme_char(c);
    if (scheme) rest = rest.substr(colon + 1);
  }
  if (rest.substr(0, 2) == "//") {
    size_t end = rest.find_first_of("/?#", 2);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  Split out;
  size_t q = rest.find('?');
  if (q == std::string_view::npos) {
    out.path = std::string(rest);
  } else {
    out.path = std::string(rest.substr(0, q));
    out.query = std::string(rest.substr(q + 1));
  }
  return out;
}

}  // namespace

std::string route_of(std::string_view target) { return split_target(target).path; }

std::string form_decode(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < field.size() && hex_value(field[i + 1]) >= 0 &&
               hex_value(field[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(field[i + 1]) * 16 + hex_value(field[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string token_of(std::string_view target) {
  std::string query = split_target(target).query;
  std::string_view rest = query;
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string_view piece = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    // A piece without "=" or with an empty value is skipped, as parse_qs does.
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos || eq + 1 == piece.size()) continue;
    if (form_decode(piece.substr(0, eq)) == "token") return form_decode(piece.substr(eq + 1));
  }
  return "";
}

}  // namespace tavro::net
