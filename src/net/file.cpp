#include "file.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tavro::net {

#ifdef _WIN32
namespace {
std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}
}  // namespace

std::optional<std::uint64_t> file_size(const std::string& utf8_path) {
  struct _stat64 st;
  if (_wstat64(wide(utf8_path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

InFile::InFile(const std::string& utf8_path) : f_(_wfopen(wide(utf8_path).c_str(), L"rb")) {}
int InFile::descriptor() const { return -1; }
#else
std::optional<std::uint64_t> file_size(const std::string& utf8_path) {
  struct stat st;
  if (::stat(utf8_path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

InFile::InFile(const std::string& utf8_path) : f_(std::fopen(utf8_path.c_str(), "rb")) {
  // A directory opens on POSIX but cannot be read as a file: treat it as unreadable.
  struct stat st;
  if (f_ != nullptr && (::fstat(fileno(f_), &st) != 0 || S_ISDIR(st.st_mode))) {
    std::fclose(f_);
    f_ = nullptr;
  }
}
int InFile::descriptor() const { return f_ ? fileno(f_) : -1; }
#endif

InFile::~InFile() {
  if (f_ != nullptr) std::fclose(f_);
}

size_t InFile::read(char* buf, size_t n) { return f_ ? std::fread(buf, 1, n, f_) : 0; }

}  // namespace tavro::net
