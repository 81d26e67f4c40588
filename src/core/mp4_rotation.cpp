#include "core/mp4_rotation.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace tavro::core {
namespace {

int track_quarter_turns(BoxReader& boxes, Range trak) {
  auto tkhd = boxes.child(trak, "tkhd");
  std::array<std::uint8_t, 1> version{};
  if (!tkhd || !boxes.read(*tkhd, 0, version)) return 0;
  // After version and flags: times, track id, reserved and duration (24 bytes in version 0,
  // 32 in version 1), then 16 bytes of reserved, layer, group and volume, then the matrix.
  const std::uint64_t matrix_at = version[0] == 1 ? 52 : 40;
  std::array<std::uint8_t, 20> m{};  // a b u c d
  if (!boxes.read(*tkhd, matrix_at, m)) return 0;
  auto i32 = [&](int i) { return static_cast<std::int32_t>(be32(m.data() + 4 * i)); };
  return quarter_turns_of_matrix(i32(0), i32(1), i32(3), i32(4));
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

int video_quarter_turns(const ByteSource& source) {
  BoxReader boxes(source);
  auto moov = boxes.child(Range{0, source.size()}, "moov");
  Range trak{};
  if (!moov || video_tracks(boxes, *moov, &trak) == 0) return 0;
  return track_quarter_turns(boxes, trak);
}

int video_quarter_turns_of_file(const std::string& path) {
  FilePtr f = open_for_reading(path);
  if (!f) return 0;
  return video_quarter_turns(FileSource(f.get()));
}

}  // namespace tavro::core
