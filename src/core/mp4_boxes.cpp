#include "core/mp4_boxes.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace tavro::core {

bool MemorySource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return true;
}

bool FileSource::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return false;
  if (!seek_to(f_, offset)) return false;
  return std::fread(out.data(), 1, out.size(), f_) == out.size();
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

std::uint64_t be64(const std::uint8_t* p) { return (std::uint64_t{be32(p)} << 32) | be32(p + 4); }

std::optional<Box> BoxReader::at(Range within, std::uint64_t at, BoxStop* stop) {
  auto fail = [stop](BoxStop why) -> std::optional<Box> {
    if (stop) *stop = why;
    return std::nullopt;
  };
  if (at >= within.end) return fail(BoxStop::end);
  if (budget_-- <= 0) return fail(BoxStop::malformed);
  std::array<std::uint8_t, 16> head{};
  if (within.end - at < 8 || !source_.read(at, std::span(head).first(8))) {
    return fail(BoxStop::cut_short);
  }
  std::uint64_t size = be32(head.data());
  std::uint64_t header = 8;
  if (size == 1) {  // a 64-bit size follows the type
    if (within.end - at < 16 || !source_.read(at + 8, std::span(head).subspan(8, 8))) {
      return fail(BoxStop::cut_short);
    }
    size = be64(head.data() + 8);
    header = 16;
  } else if (size == 0) {  // the box runs to the end of its parent
    size = within.end - at;
  }
  if (size < header) return fail(BoxStop::malformed);
  if (size > within.end - at) return fail(BoxStop::cut_short);
  Box box{{}, Range{at + header, at + size}};
  std::copy_n(head.begin() + 4, 4, box.type);
  return box;
}

std::optional<Range> BoxReader::child(Range within, std::string_view type) {
  for (std::uint64_t pos = within.begin;;) {
    auto box = at(within, pos);
    if (!box) return {};
    if (box->is(type)) return box->payload;
    pos = box->payload.end;
  }
}

bool BoxReader::read(Range box, std::uint64_t offset, std::span<std::uint8_t> out) {
  return offset <= box.end - box.begin && out.size() <= box.end - box.begin - offset &&
         source_.read(box.begin + offset, out);
}

TopLevel top_level(BoxReader& boxes) {
  TopLevel top;
  const Range file{0, boxes.size()};
  for (std::uint64_t pos = 0;;) {
    auto box = boxes.at(file, pos, &top.stop);
    if (!box) return top;
    if (pos == 0) {
      for (std::string_view t : {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"})
        top.first_is_known = top.first_is_known || box->is(t);
    }
    if (box->is("moov") && top.moov_count++ == 0) top.moov = box->payload;
    top.last = box;
    pos = box->payload.end;
  }
}

namespace {

bool is_video_track(BoxReader& boxes, Range trak) {
  auto mdia = boxes.child(trak, "mdia");
  auto hdlr = mdia ? boxes.child(*mdia, "hdlr") : std::nullopt;
  std::array<std::uint8_t, 12> head{};  // version and flags, pre_defined, handler_type
  return hdlr && boxes.read(*hdlr, 0, head) &&
         std::string_view(reinterpret_cast<const char*>(head.data()) + 8, 4) == "vide";
}

}  // namespace

int video_tracks(BoxReader& boxes, Range moov, Range* first) {
  int count = 0;
  for (std::uint64_t pos = moov.begin;;) {
    auto box = boxes.at(moov, pos);
    if (!box) return count;
    if (box->is("trak") && is_video_track(boxes, box->payload) && count++ == 0) {
      *first = box->payload;
    }
    pos = box->payload.end;
  }
}

}  // namespace tavro::core
