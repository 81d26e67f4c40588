#include "manifest.hpp"

#include "file_io.hpp"

namespace tavro::core {

namespace {

constexpr std::string_view kBlank = " \t\r";

std::string_view trimmed(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

// A quoted value followed by nothing but blanks or a comment.
std::optional<std::string> quoted(std::string_view value) {
  if (value.empty() || (value[0] != '"' && value[0] != '\'')) return std::nullopt;
  const size_t close = value.find(value[0], 1);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view inner = value.substr(1, close - 1);
  if (inner.find('\\') != std::string_view::npos) return std::nullopt;  // no version escapes
  std::string_view rest = trimmed(value.substr(close + 1));
  if (!rest.empty() && rest[0] != '#') return std::nullopt;
  return std::string(inner);
}

}  // namespace

std::optional<std::string> manifest_version(std::string_view toml) {
  while (!toml.empty()) {
    const size_t end = toml.find('\n');
    std::string_view line = trimmed(toml.substr(0, end));
    toml = end == std::string_view::npos ? std::string_view() : toml.substr(end + 1);
    if (line.starts_with('[')) break;  // the top level ends at the first table
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || trimmed(line.substr(0, eq)) != "version") continue;
    return quoted(trimmed(line.substr(eq + 1)));
  }
  return std::nullopt;
}

std::optional<std::string> manifest_version_of_file(const std::string& utf8_path) {
  FilePtr f = open_for_reading(utf8_path);
  if (!f) return std::nullopt;
  std::string text;
  char chunk[4096];
  // A manifest is a few hundred bytes; anything past 64 KiB is not one.
  for (size_t got; text.size() < 65536 && (got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0;)
    text.append(chunk, got);
  if (std::ferror(f.get())) return std::nullopt;
  return manifest_version(text);
}

}  // namespace tavro::core
