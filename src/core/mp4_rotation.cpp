#include "core/mp4_rotation.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "core/file_io.hpp"

namespace tavro::core {
namespace {

// Far more boxes than any real file's moov holds up to its video track; keeps a crafted file's
// millions of tiny boxes from costing more than a moment.
constexpr int kMaxBoxes = 4096;

struct Range {
  std::uint64_t begin, end;
};

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

std::uint64_t be64(const std::uint8_t* p) { return (std::uint64_t{be32(p)} << 32) | be32(p + 4); }

class BoxReader {
 public:
  explicit BoxReader(const ByteSource& source) : source_(source) {}

  // The payload of the first box of `type` directly inside `within`, if any.
  std::optional<Range> child(Range within, std::string_view type) {
    std::uint64_t at = within.begin;
    while (at < within.end && budget_-- > 0) {
      std::array<std::uint8_t, 16> head{};
      if (within.end - at < 8 || !source_.read(at, std::span(head).first(8))) return {};
      std::uint64_t size = be32(head.data());
      std::uint64_t header = 8;
      if (size == 1) {  // a 64-bit size follows the type
        if (within.end - at < 16 || !source_.read(at + 8, std::span(head).subspan(8, 8))) return {};
        size = be64(head.data() + 8);
        header = 16;
      } else if (size == 0) {  // the box runs to the end of its parent
        size = within.end - at;
      }
      if (size < header || size > within.end - at) return {};
      if (std::string_view(reinterpret_cast<const char*>(head.data()) + 4, 4) == type) {
        return Range{at + header, at + size};
      }
      at += size;
    }
    return {};
  }

  bool read(Range box, std::uint64_t offset, std::span<std::uint8_t> out) {
    return offset <= box.end - box.begin && out.size() <= box.end - box.begin - offset &&
           source_.read(box.begin + offset, out);
  }

 private:
  const ByteSource& source_;
  int budget_ = kMaxBoxes;
};

bool is_video_track(BoxReader& boxes, Range trak) {
  auto mdia = boxes.child(trak, "mdia");
  auto hdlr = mdia ? boxes.child(*mdia, "hdlr") : std::nullopt;
  std::array<std::uint8_t, 12> head{};  // version and flags, pre_defined, handler_type
  return hdlr && boxes.read(*hdlr, 0, head) &&
         std::string_view(reinterpret_cast<const char*>(head.data()) + 8, 4) == "vide";
}

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

bool MemorySource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return true;
}

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
  if (!moov) return {};
  // Every trak box in turn: child() finds the first from a start, so step past each one.
  for (Range rest = *moov; rest.begin < rest.end;) {
    auto trak = boxes.child(rest, "trak");
    if (!trak) return {};
    if (is_video_track(boxes, *trak)) return track_display(boxes, *trak);
    rest.begin = trak->end;
  }
  return {};
}

int video_quarter_turns(const ByteSource& source) { return video_display(source).quarter_turns; }

namespace {

class FileSource final : public ByteSource {
 public:
  explicit FileSource(std::FILE* f) : f_(f), size_(length_of(f).value_or(0)) {}
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) return false;
    if (!seek_to(f_, offset)) return false;
    return std::fread(out.data(), 1, out.size(), f_) == out.size();
  }

 private:
  std::FILE* f_;
  std::uint64_t size_ = 0;
};

}  // namespace

VideoDisplay video_display_of_file(const std::string& path) {
  FilePtr f = open_for_reading(path);
  if (!f) return {};
  return video_display(FileSource(f.get()));
}

int video_quarter_turns_of_file(const std::string& path) {
  return video_display_of_file(path).quarter_turns;
}

}  // namespace tavro::core
