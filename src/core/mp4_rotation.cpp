#include "core/mp4_rotation.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>

namespace tavro::core {
namespace {

VideoDisplay track_display(BoxReader& boxes, Range trak) {
  auto tkhd = boxes.child(trak, "tkhd");
  std::array<std::uint8_t, 1> version{};
  if (!tkhd || !boxes.read(*tkhd, 0, version)) return {};
  // After version and flags: times, track id, reserved and duration (24 bytes in version 0,
  // 32 in version 1), then 16 bytes of reserved, layer, group and volume, then the matrix
  // (a b u c d v x y w) and the width and height (16.16 fixed point).
  const std::uint64_t matrix_at = version[0] == 1 ? 52 : 40;
  std::array<std::uint8_t, 44> m{};
  if (!boxes.read(*tkhd, matrix_at, std::span(m).first(20))) return {};
  auto u32 = [&](int i) { return be32(m.data() + 4 * i); };
  auto i32 = [&](int i) { return static_cast<std::int32_t>(u32(i)); };
  VideoDisplay shown{quarter_turns_of_matrix(i32(0), i32(1), i32(3), i32(4))};
  if (boxes.read(*tkhd, matrix_at + 20, std::span(m).subspan(20))) {
    shown.width = u32(9) >> 16;
    shown.height = u32(10) >> 16;
  }
  return shown;
}

}  // namespace

int quarter_turns_of_matrix(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
  const std::int64_t A = a, B = b, C = c, D = d;
  const std::int64_t big = std::max({std::llabs(A), std::llabs(B), std::llabs(C), std::llabs(D)});
  if (big == 0) return 0;
  // Entries below 1/64 of the largest count as zero: writers round cos and sin of their angle.
  auto zero = [big](std::int64_t v) { return std::llabs(v) * 64 <= big; };
  // A point (x, y) is shown at (a x + c y, b x + d y); with the picture's y axis pointing down,
  // b < 0 < c turns it a quarter counter-clockwise as seen on screen.
  if (zero(B) && zero(C) && !zero(A) && !zero(D) && (A > 0) == (D > 0)) return A > 0 ? 0 : 2;
  if (zero(A) && zero(D) && !zero(B) && !zero(C) && (B > 0) != (C > 0)) return B < 0 ? 1 : 3;
  return 0;  // mirrored, sheared or turned by another angle: shown as stored
}

VideoDisplay video_display(const ByteSource& source) {
  BoxReader boxes(source);
  auto moov = boxes.child(Range{0, source.size()}, "moov");
  Range trak{};
  if (!moov || video_tracks(boxes, *moov, &trak) == 0) return {};
  return track_display(boxes, trak);
}

VideoDisplay video_display_of_file(const std::string& path) {
  FilePtr f = open_for_reading(path);
  if (!f) return {};
  return video_display(FileSource(f.get()));
}

}  // namespace tavro::core
