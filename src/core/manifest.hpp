// The version an extension's blender_manifest.toml declares. The package files on disk say
// which version they are; the compiled modules say which version is running.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavro::core {

// The value of the top-level `version` key (a basic or literal TOML string); empty when the
// text declares none before its first table.
std::optional<std::string> manifest_version(std::string_view toml);

// The same, read from the file at `utf8_path`; empty when it cannot be read (for instance
// while an update replaces the package's files).
std::optional<std::string> manifest_version_of_file(const std::string& utf8_path);

}  // namespace tavro::core
