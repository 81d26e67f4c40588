#include "core/media_check.hpp"

#include <array>
#include <initializer_list>
#include <string_view>

namespace tavro::core {
namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// A PNG chunk's length is at most 2^31 - 1; real writers split image data into many chunks.
constexpr std::uint32_t kMaxChunk = 0x7fffffff;
// Far more chunks than a writer makes for the largest picture sent (~200 MB of 8 KiB chunks).
constexpr int kMaxChunks = 1 << 16;

std::string_view type_of(const std::array<std::uint8_t, 8>& head) {
  return {reinterpret_cast<const char*>(head.data()) + 4, 4};
}

// A path of child boxes, each the first of its type inside the one before.
std::optional<Range> descend(BoxReader& boxes, Range from,
                             std::initializer_list<std::string_view> path) {
  std::optional<Range> at = from;
  for (std::string_view type : path) {
    if (!at) return {};
    at = boxes.child(*at, type);
  }
  return at;
}

MediaFault check_video_track(BoxReader& boxes, Range trak, std::uint32_t width,
                             std::uint32_t height, std::uint64_t frames) {
  auto stbl = descend(boxes, trak, {"mdia", "minf", "stbl"});
  auto stsd = stbl ? boxes.child(*stbl, "stsd") : std::nullopt;
  // stsd: version and flags, entry count, then the first sample entry: its box header, six
  // reserved bytes, a data reference index, 16 bytes of pre-defined and reserved, width, height.
  std::array<std::uint8_t, 4> size{};
  if (!stsd || !boxes.read(*stsd, 8 + 8 + 24, size)) return MediaFault::not_media;
  if ((std::uint32_t{size[0]} << 8 | size[1]) != width ||
      (std::uint32_t{size[2]} << 8 | size[3]) != height) {
    return MediaFault::wrong_size;
  }
  // stsz: version and flags, a common sample size, the sample count. stz2: version and flags,
  // three reserved bytes and a field size, the sample count.
  std::optional<Range> table = boxes.child(*stbl, "stsz");
  if (!table) table = boxes.child(*stbl, "stz2");
  std::array<std::uint8_t, 4> count{};
  if (!table || !boxes.read(*table, 8, count)) return MediaFault::not_media;
  return be32(count.data()) == frames ? MediaFault::none : MediaFault::wrong_frames;
}

}  // namespace

MediaFault check_png(const ByteSource& source, std::uint32_t width, std::uint32_t height) {
  const std::uint64_t end = source.size();
  std::array<std::uint8_t, 8> head{};
  if (!source.read(0, head)) return MediaFault::cut_short;
  if (head != kPngSignature) return MediaFault::not_media;
  std::uint64_t at = kPngSignature.size();
  for (int n = 0; n < kMaxChunks; ++n) {
    if (end - at < 12) return MediaFault::cut_short;  // length, type and CRC at the least
    if (!source.read(at, head)) return MediaFault::cut_short;
    const std::uint32_t length = be32(head.data());
    if (length > kMaxChunk) return MediaFault::not_media;
    if (length > end - at - 12) return MediaFault::cut_short;
    if (n == 0) {
      std::array<std::uint8_t, 8> wh{};
      if (type_of(head) != "IHDR" || length != 13 || !source.read(at + 8, wh)) {
        return MediaFault::not_media;
      }
      if (be32(wh.data()) != width || be32(wh.data() + 4) != height) return MediaFault::wrong_size;
    }
    at += 12 + std::uint64_t{length};
    // IEND closes the file: whatever follows was never part of this picture.
    if (type_of(head) == "IEND") return at == end ? MediaFault::none : MediaFault::not_media;
  }
  return MediaFault::not_media;
}

MediaFault check_mp4(const ByteSource& source, std::uint32_t width, std::uint32_t height,
                     std::uint64_t frames) {
  BoxReader boxes(source);
  const TopLevel top = top_level(boxes);
  if (top.stop == BoxStop::cut_short) return MediaFault::cut_short;
  if (top.stop != BoxStop::end || top.moov_count != 1) return MediaFault::not_media;
  Range trak{};
  if (video_tracks(boxes, top.moov, &trak) != 1) return MediaFault::not_media;
  return check_video_track(boxes, trak, width, height, frames);
}

bool mp4_cut_short(const ByteSource& source) {
  BoxReader boxes(source);
  const TopLevel top = top_level(boxes);
  return top.first_is_known && top.stop == BoxStop::cut_short;
}

bool mp4_cut_short_of_file(const std::string& path) {
  FilePtr f = open_for_reading(path);
  return f && mp4_cut_short(FileSource(f.get()));
}

}  // namespace tavro::core
