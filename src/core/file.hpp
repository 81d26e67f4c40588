// Files by UTF-8 path with 64-bit offsets on every platform. Windows' fopen reads the ANSI code
// page, which cannot name the files of a user whose folders have Chinese names, and its long is
// 32 bits, so fseek and ftell stop at 2 GiB, short of many a phone video.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tavro::core {

// Like std::fopen; `mode` is ASCII ("rb", "wb").
std::FILE* open_utf8(const std::string& path, const char* mode);

// Moves to `offset` from the start; false on failure.
bool seek_to(std::FILE* f, std::uint64_t offset);

// The file's size (it is left at its end), or -1 on failure.
std::int64_t size_by_seeking(std::FILE* f);

}  // namespace tavro::core
