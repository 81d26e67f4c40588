// Feeds arbitrary bytes to the MP4/MOV rotation reader, as a user's video file could be: nothing
// may crash, hang or read out of bounds, and the answer is always a quarter-turn count.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/mp4_rotation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int turns =
      tavro::core::video_display(tavro::core::MemorySource(std::span(data, size))).quarter_turns;
  if (turns < 0 || turns > 3) std::abort();
  return 0;
}
