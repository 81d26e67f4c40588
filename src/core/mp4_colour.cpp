#include "core/mp4_colour.hpp"

#include <array>
#include <cstdio>

#include "core/file_io.hpp"
#include "core/mp4_boxes.hpp"

namespace tavro::core {
namespace {

constexpr std::uint32_t kColrSize = 19;  // header, "nclx", three code points, the range flag
// A visual sample entry's fixed fields before its child boxes: reserved, data reference index,
// pre-defined and reserved, width, height, resolutions, reserved, frame count, compressor name,
// depth, pre-defined.
constexpr std::uint64_t kVisualEntryFields = 78;
// Far larger than the index of any video the module makes (30 s); read whole, it stays cheap.
constexpr std::uint64_t kMaxMoov = 64 << 20;

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Where the box holding `payload` starts, when its header is a plain 32-bit size and type.
std::optional<std::uint64_t> plain_start(const std::vector<std::uint8_t>& bytes, Range payload) {
  if (payload.begin < 8) return {};
  const std::uint64_t start = payload.begin - 8;
  // A 64-bit size (1) or one running to the parent's end (0) never equals the box's length.
  if (be32(bytes.data() + start) != payload.end - start) return {};
  return start;
}

// Whether the sample entry's child boxes chain cleanly to its end; `tagged` if one is a colr.
bool entry_children(BoxReader& boxes, Range entry, bool* tagged) {
  if (entry.end - entry.begin < kVisualEntryFields) return false;
  for (std::uint64_t pos = entry.begin + kVisualEntryFields;;) {
    BoxStop stop{};
    auto box = boxes.at(entry, pos, &stop);
    if (!box) return stop == BoxStop::end;
    *tagged = *tagged || box->is("colr");
    pos = box->payload.end;
  }
}

}  // namespace

ColourTagging add_colour(std::vector<std::uint8_t>& moov, const Nclx& tag) {
  const MemorySource source(moov);
  BoxReader boxes(source);
  auto top = boxes.at(Range{0, moov.size()}, 0);
  if (!top || !top->is("moov") || top->payload.end != moov.size()) {
    return ColourTagging::not_editable;
  }
  Range trak{};
  if (video_tracks(boxes, top->payload, &trak) != 1) return ColourTagging::not_editable;
  // The boxes that hold the sample entry, outermost first, the entry last.
  std::vector<Range> chain{top->payload, trak};
  for (const char* type : {"mdia", "minf", "stbl", "stsd"}) {
    auto inner = boxes.child(chain.back(), type);
    if (!inner) return ColourTagging::not_editable;
    chain.push_back(*inner);
  }
  // stsd: version and flags, the entry count, then the first entry.
  auto entry = boxes.at(chain.back(), chain.back().begin + 8);
  if (!entry) return ColourTagging::not_editable;
  chain.push_back(entry->payload);
  bool tagged = false;
  if (!entry_children(boxes, entry->payload, &tagged)) return ColourTagging::not_editable;
  if (tagged) return ColourTagging::already_tagged;

  std::vector<std::uint64_t> starts;
  for (Range r : chain) {
    auto start = plain_start(moov, r);
    if (!start || r.end - *start > 0xffffffffULL - kColrSize) return ColourTagging::not_editable;
    starts.push_back(*start);
  }
  for (std::size_t i = 0; i < chain.size(); ++i) {
    put32(moov.data() + starts[i],
          static_cast<std::uint32_t>(chain[i].end - starts[i]) + kColrSize);
  }
  const std::array<std::uint8_t, kColrSize> colr{
      0,
      0,
      0,
      kColrSize,
      'c',
      'o',
      'l',
      'r',
      'n',
      'c',
      'l',
      'x',
      static_cast<std::uint8_t>(tag.primaries >> 8),
      static_cast<std::uint8_t>(tag.primaries),
      static_cast<std::uint8_t>(tag.transfer >> 8),
      static_cast<std::uint8_t>(tag.transfer),
      static_cast<std::uint8_t>(tag.matrix >> 8),
      static_cast<std::uint8_t>(tag.matrix),
      static_cast<std::uint8_t>(tag.full_range ? 0x80 : 0)};
  moov.insert(moov.begin() + static_cast<std::ptrdiff_t>(entry->payload.end), colr.begin(),
              colr.end());
  return ColourTagging::added;
}

ColourTagging tag_colours_of_file(const std::string& path, const Nclx& tag) {
  FilePtr f = open_for_update(path);
  if (!f) return ColourTagging::not_editable;
  const FileSource source(f.get());
  BoxReader boxes(source);
  const Range file{0, source.size()};
  std::optional<Box> last;
  for (std::uint64_t pos = 0;;) {
    BoxStop stop{};
    auto box = boxes.at(file, pos, &stop);
    if (!box) {
      if (stop != BoxStop::end) return ColourTagging::not_editable;
      break;
    }
    if (last && last->is("moov")) return ColourTagging::not_editable;  // a box after the moov
    last = box;
    pos = box->payload.end;
  }
  if (!last || !last->is("moov") || last->payload.begin < 8) return ColourTagging::not_editable;
  const std::uint64_t start = last->payload.begin - 8;
  if (file.end - start > kMaxMoov) return ColourTagging::not_editable;
  std::vector<std::uint8_t> moov(file.end - start);
  if (!source.read(start, moov)) return ColourTagging::not_editable;
  const ColourTagging result = add_colour(moov, tag);
  if (result != ColourTagging::added) return result;
  if (!seek_to(f.get(), start) ||
      std::fwrite(moov.data(), 1, moov.size(), f.get()) != moov.size() ||
      std::fflush(f.get()) != 0) {
    return ColourTagging::write_failed;
  }
  return ColourTagging::added;
}

}  // namespace tavro::core
