#include "core/manifest.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using tavro::core::manifest_version;
using tavro::core::manifest_version_of_file;

TEST(Manifest, TopLevelVersionInEitherQuoting) {
  struct Case {
    const char* toml;
    std::optional<std::string> version;
  } cases[] = {
      {"schema_version = \"1.0.0\"\nid = \"x\"\nversion = \"0.1.0\"\n", "0.1.0"},
      {"version='2.3.4-rc1'   # next\r\n", "2.3.4-rc1"},
      {"  version\t=  \"1.0.0\"", "1.0.0"},
      // only the top level counts, and only a plain string
      {"id = \"x\"\n[permissions]\nversion = \"9.9.9\"\n", std::nullopt},
      {"version = 1\n", std::nullopt},
      {"version = \"1.0.0\" trailing\n", std::nullopt},
      {"version = \"1.0\\u0030\"\n", std::nullopt},
      {"blender_version_min = \"4.2.0\"\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(manifest_version(c.toml), c.version) << c.toml;
}

TEST(Manifest, FileThatIsMissingHasNoVersion) {
  auto dir = std::filesystem::temp_directory_path() / "manifest_test";
  std::filesystem::create_directories(dir);
  // As the module passes it: UTF-8, whatever the system's narrow code page (Windows).
  const std::u8string u8 = (dir / "blender_manifest.toml").u8string();
  const std::string path(u8.begin(), u8.end());
  std::ofstream(dir / "blender_manifest.toml") << "id = \"x\"\nversion = \"0.2.0\"\n";
  EXPECT_EQ(manifest_version_of_file(path), "0.2.0");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(manifest_version_of_file(path), std::nullopt);
}
