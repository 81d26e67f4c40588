#include "file_io.hpp"

#include <limits>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace tavro::core {

#ifdef _WIN32
std::wstring wide_path(const std::string& utf8_path) {
  const int in = static_cast<int>(utf8_path.size());
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), in, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8_path.data(), in, out.data(), n);
  return out;
}

FilePtr open_for_reading(const std::string& utf8_path) {
  return FilePtr(_wfopen(wide_path(utf8_path).c_str(), L"rb"));
}

FilePtr open_for_update(const std::string& utf8_path) {
  return FilePtr(_wfopen(wide_path(utf8_path).c_str(), L"r+b"));
}

bool seek_to(std::FILE* f, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<__int64>::max())) return false;
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> length_of(std::FILE* f) {
  if (_fseeki64(f, 0, SEEK_END) != 0) return std::nullopt;
  __int64 end = _ftelli64(f);
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}
#else
FilePtr open_for_reading(const std::string& utf8_path) {
  return FilePtr(std::fopen(utf8_path.c_str(), "rb"));
}

FilePtr open_for_update(const std::string& utf8_path) {
  return FilePtr(std::fopen(utf8_path.c_str(), "r+b"));
}

bool seek_to(std::FILE* f, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::optional<std::uint64_t> length_of(std::FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0) return std::nullopt;
  off_t end = ftello(f);
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}
#endif

}  // namespace tavro::core
