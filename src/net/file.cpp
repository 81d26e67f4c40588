#include "file.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include "core/file_io.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tavro::net {

#ifdef _WIN32
using core::wide_path;

std::optional<std::uint64_t> file_size(const std::string& utf8_path) {
  struct _stat64 st;
  if (_wstat64(wide_path(utf8_path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

InFile::InFile(const std::string& utf8_path) {
  // Directories do not open without backup semantics; pipes and devices are refused by type.
  HANDLE h = CreateFileW(wide_path(utf8_path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return;
  }
  handle_ = h;
}

InFile::~InFile() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

bool InFile::is_open() const { return handle_ != nullptr; }

size_t InFile::read(char* buf, size_t n) {
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n);
  if (handle_ == nullptr || !ReadFile(handle_, buf, want, &got, nullptr)) return 0;
  return got;
}

int InFile::descriptor() const { return -1; }
#else
std::optional<std::uint64_t> file_size(const std::string& utf8_path) {
  struct stat st;
  if (::stat(utf8_path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

InFile::InFile(const std::string& utf8_path) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
  int fd = ::open(utf8_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

InFile::~InFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InFile::is_open() const { return fd_ >= 0; }

size_t InFile::read(char* buf, size_t n) {
  if (fd_ < 0) return 0;
  for (;;) {
    ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return 0;
  }
}

int InFile::descriptor() const { return fd_; }
#endif

}  // namespace tavro::net
