// The little file access the bridge needs, portable: size by path, and reading a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavro::net {

// The size the file system reports for `utf8_path` (no open), or nothing on any error.
std::optional<std::uint64_t> file_size(const std::string& utf8_path);

// A regular file opened for reading raw bytes; closed on destruction. The open never waits:
// whatever else sits at the path (a FIFO, a device, a directory) leaves the file closed.
class InFile {
 public:
  explicit InFile(const std::string& utf8_path);
  ~InFile();
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;
  bool is_open() const;
  // Up to `n` bytes into `buf`; 0 at the end or on an error.
  size_t read(char* buf, size_t n);
  // The OS descriptor (POSIX), for zero-copy sending; -1 elsewhere.
  int descriptor() const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;  // HANDLE; nullptr when closed
#else
  int fd_ = -1;
#endif
};

}  // namespace tavro::net
