#include "core/file.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace tavro::core {

#ifdef _WIN32
namespace {
std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}
}  // namespace

std::FILE* open_utf8(const std::string& path, const char* mode) {
  return _wfopen(wide(path).c_str(), wide(mode).c_str());
}
bool seek_to(std::FILE* f, std::uint64_t offset) {
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}
std::int64_t size_by_seeking(std::FILE* f) {
  return _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
}
#else
std::FILE* open_utf8(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}
bool seek_to(std::FILE* f, std::uint64_t offset) {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}
std::int64_t size_by_seeking(std::FILE* f) { return fseeko(f, 0, SEEK_END) == 0 ? ftello(f) : -1; }
#endif

}  // namespace tavro::core
