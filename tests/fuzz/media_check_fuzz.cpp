// Feeds arbitrary bytes to the readers that decide whether a produced file is whole, to the
// partial-download check of a user's clip and to the colour tagging of a produced file's index:
// nothing may crash, hang or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/media_check.hpp"
#include "core/mp4_colour.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tavro::core::MemorySource source(std::span(data, size));
  // The seeds' size and frame count (scripts/fuzz), so that the whole-file paths are reached.
  auto png = tavro::core::check_png(source, 32, 18);
  auto mp4 = tavro::core::check_mp4(source, 32, 18, 2);
  tavro::core::mp4_cut_short(source);
  // A whole PNG's first byte is its signature's 0x89; a whole MP4's cannot be.
  if (png == tavro::core::MediaFault::none && mp4 == tavro::core::MediaFault::none) std::abort();
  // A tagged index reads as one, and as tagged.
  std::vector<std::uint8_t> moov(data, data + size);
  if (tavro::core::add_colour(moov, {1, 1, 6, false}) == tavro::core::ColourTagging::added &&
      tavro::core::add_colour(moov, {1, 1, 6, false}) !=
          tavro::core::ColourTagging::already_tagged) {
    std::abort();
  }
  return 0;
}
