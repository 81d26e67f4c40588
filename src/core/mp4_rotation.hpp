// The display rotation an MP4/MOV file asks for: the track header (tkhd) matrix of its first
// video track. Phones store a landscape picture and turn it for display with this matrix. No host
// API, no Python; every read is bounded, so any file (or any bytes) can be given.
#pragma once

#include <cstdint>
#include <string>

#include "core/mp4_boxes.hpp"

namespace tavro::core {

// How the first video track is shown: the counter-clockwise quarter turns (0 to 3) of its
// header's matrix, and the picture's size before that turn (the header's width and height, in
// whole pixels; 0 where the header has none). No turns for anything else: not an MP4/MOV, no
// video track, a matrix that mirrors, shears or turns by other angles, truncated or malformed
// boxes.
struct VideoDisplay {
  int quarter_turns = 0;
  std::uint32_t width = 0, height = 0;
};
VideoDisplay video_display(const ByteSource& source);
// The same for a file; all zero when it cannot be opened or read.
VideoDisplay video_display_of_file(const std::string& path);

// Quarter turns of a tkhd matrix's linear part (a b / c d, 16.16 fixed point), or 0.
int quarter_turns_of_matrix(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d);

}  // namespace tavro::core
