// The little file access the bridge needs, portable: size by path, and reading a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tavro::net {

// The size the file system reports for `utf8_path` (no open), or nothing on any error.
std::optional<std::uint64_t> file_size(const std::string& utf8_path);

// A file opened for reading raw bytes; closed on destruction.
class InFile {
 public:
  explicit InFile(const std::string& utf8_path);
  ~InFile();
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;
  bool is_open() const { return f_ != nullptr; }
  // Up to `n` bytes into `buf`; 0 at the end or on an error.
  size_t read(char* buf, size_t n);
  // The OS descriptor (POSIX), for zero-copy sending; -1 elsewhere.
  int descriptor() const;

 private:
  std::FILE* f_ = nullptr;
};

}  // namespace tavro::net
