// Reading files named by UTF-8 paths on every platform. The host hands paths over as UTF-8;
// on Windows the narrow C functions read them in the ANSI code page instead, so a Chinese user
// name or folder would not open there, and `long` offsets stop at 2 GiB.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace tavro::core {

#ifdef _WIN32
// The path as Windows' wide-character calls take it.
std::wstring wide_path(const std::string& utf8_path);
#endif

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file for binary reading; null when it cannot be opened.
FilePtr open_for_reading(const std::string& utf8_path);
// Opens an existing file for binary reading and writing in place; null when it cannot be.
FilePtr open_for_update(const std::string& utf8_path);
// Moves to an absolute offset (64-bit on every platform); false on failure.
bool seek_to(std::FILE* f, std::uint64_t offset);
// The file's length, leaving the position at its end; empty on failure.
std::optional<std::uint64_t> length_of(std::FILE* f);

}  // namespace tavro::core
