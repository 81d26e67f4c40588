// Where the tests put the assets they serve: in a folder whose name holds Chinese characters
// and spaces, as every temporary path of a Windows user with a Chinese account name does.
#pragma once

#include <filesystem>
#include <string>

namespace tavro::net::testing {

inline std::filesystem::path asset_path(const std::string& file_name) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / u8"素材 文件夹";
  std::filesystem::create_directories(dir);
  return dir / file_name;
}

// The UTF-8 text of a path, as the bridge takes it on every platform (path.string() would be
// the Windows ANSI code page there, which cannot hold these names).
inline std::string utf8(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace tavro::net::testing
