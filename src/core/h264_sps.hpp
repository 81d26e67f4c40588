// The colours an H.264 stream says it was made with: the video signal type of its sequence
// parameter set's VUI, which decoders (and the browsers built on them) read rather than the
// container's. Bounded like every reader here, so any bytes can be given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavro::core {

// The ISO/IEC 23091-2 code points, as an MP4 colr box (nclx) and an H.264 VUI both write them.
struct Nclx {
  std::uint16_t primaries, transfer, matrix;
  bool full_range;
};

// What a parameter set (or a decoder configuration holding one) says of its colours: described
// already, or rewritten to describe them; neither where it cannot be read.
struct Described {
  bool already = false;
  std::optional<std::vector<std::uint8_t>> rewritten;
};

// A sequence parameter set (a NAL unit, header included) with its colours described in its VUI:
// a video signal type (format "unspecified" where it had none) with `tag`'s colours, the rest of
// its bits as they were. Only a set that has a VUI is rewritten.
Described sps_with_colour(std::span<const std::uint8_t> nal, const Nclx& tag);

}  // namespace tavro::core
