#include "core/mp4_colour.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <optional>
#include <span>

#include "core/file_io.hpp"
#include "core/h264_sps.hpp"
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

// Whether the sample entry's child boxes (in `bytes`) chain cleanly to its end; `tagged` if one
// is a colr, `avcc` the payload of its avcC box, if any.
bool entry_children(BoxReader& boxes, const std::vector<std::uint8_t>& bytes, Range entry,
                    bool* tagged, std::optional<Range>* avcc) {
  if (entry.end - entry.begin < kVisualEntryFields) return false;
  for (std::uint64_t pos = entry.begin + kVisualEntryFields;;) {
    BoxStop stop{};
    auto box = boxes.at(entry, pos, &stop);
    if (!box) return stop == BoxStop::end;
    // A child sized "to the end of its parent" would swallow a box added after it.
    if (!plain_start(bytes, box->payload)) return false;
    *tagged = *tagged || box->is("colr");
    if (box->is("avcC") && !*avcc) *avcc = box->payload;
    pos = box->payload.end;
  }
}

// An avcC payload, its single sequence parameter set describing its colours. avcC: version,
// profile, compatibility, level, NAL length size, the count of parameter sets (low 5 bits), each as
// a 16-bit length and the NAL unit; what follows (picture parameter sets, a high profile's
// extension) is kept as it is.
Described avcc_with_colour(std::span<const std::uint8_t> avcc, const Nclx& tag) {
  if (avcc.size() < 8 || (avcc[5] & 0x1f) != 1) return {};
  const std::size_t length = std::size_t{avcc[6]} << 8 | avcc[7];
  if (length > avcc.size() - 8) return {};
  Described described = sps_with_colour(avcc.subspan(8, length), tag);
  if (!described.rewritten || described.rewritten->size() > 0xffff) return described;
  const std::vector<std::uint8_t>* sps = &*described.rewritten;
  std::vector<std::uint8_t> out(avcc.begin(), avcc.begin() + 6);
  out.push_back(static_cast<std::uint8_t>(sps->size() >> 8));
  out.push_back(static_cast<std::uint8_t>(sps->size()));
  out.insert(out.end(), sps->begin(), sps->end());
  out.insert(out.end(), avcc.begin() + 8 + static_cast<std::ptrdiff_t>(length), avcc.end());
  return {.already = false, .rewritten = std::move(out)};
}

std::array<std::uint8_t, kColrSize> colr_box(const Nclx& tag) {
  std::array<std::uint8_t, kColrSize> box{0,   0,   0,   kColrSize, 'c', 'o',
                                          'l', 'r', 'n', 'c',       'l', 'x'};
  for (int i = 0; i < 3; ++i) {
    const std::uint16_t code = i == 0 ? tag.primaries : i == 1 ? tag.transfer : tag.matrix;
    box[12 + 2 * i] = static_cast<std::uint8_t>(code >> 8);
    box[13 + 2 * i] = static_cast<std::uint8_t>(code);
  }
  box[18] = tag.full_range ? 0x80 : 0;
  return box;
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
  std::optional<Range> avcc;
  if (!entry_children(boxes, moov, entry->payload, &tagged, &avcc)) {
    return ColourTagging::not_editable;
  }
  if (tagged) return ColourTagging::already_tagged;

  std::vector<std::uint64_t> starts;
  for (Range r : chain) {
    auto start = plain_start(moov, r);
    if (!start) return ColourTagging::not_editable;
    starts.push_back(*start);
  }
  // The entry's new payload: its decoder configuration describing the colours too where it can
  // (a decoder reads them from there, not from the container), and the colr box at its end.
  const Range old_entry = entry->payload;
  const auto at = [&](std::uint64_t offset) {
    return moov.begin() + static_cast<std::ptrdiff_t>(offset);
  };
  std::vector<std::uint8_t> payload(at(old_entry.begin), at(old_entry.end));
  if (avcc) {
    auto start = plain_start(moov, *avcc);
    Described config =
        avcc_with_colour(std::span(moov).subspan(avcc->begin, avcc->end - avcc->begin), tag);
    if (config.already) return ColourTagging::already_tagged;
    if (start && config.rewritten && config.rewritten->size() <= 0xffffffffULL - 8) {
      std::vector<std::uint8_t> replaced(8);
      put32(replaced.data(), static_cast<std::uint32_t>(config.rewritten->size() + 8));
      std::copy_n(at(*start + 4), 4, replaced.begin() + 4);
      replaced.insert(replaced.end(), config.rewritten->begin(), config.rewritten->end());
      const auto from = payload.begin() + static_cast<std::ptrdiff_t>(*start - old_entry.begin);
      const auto to = payload.begin() + static_cast<std::ptrdiff_t>(avcc->end - old_entry.begin);
      payload.insert(payload.erase(from, to), replaced.begin(), replaced.end());
    }
  }
  const auto colr = colr_box(tag);
  payload.insert(payload.end(), colr.begin(), colr.end());

  // Every box on the way changes by as much: the colr box, and the parameter set, which may
  // even come out shorter (its emulation-prevention bytes fall where its bits now do).
  const auto change = static_cast<std::int64_t>(payload.size()) -
                      static_cast<std::int64_t>(old_entry.end - old_entry.begin);
  std::vector<std::uint32_t> sizes;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::int64_t size = static_cast<std::int64_t>(chain[i].end - starts[i]) + change;
    if (size < 8 || size > 0xffffffffLL) return ColourTagging::not_editable;
    sizes.push_back(static_cast<std::uint32_t>(size));
  }
  for (std::size_t i = 0; i < chain.size(); ++i) put32(moov.data() + starts[i], sizes[i]);
  moov.insert(moov.erase(at(old_entry.begin), at(old_entry.end)), payload.begin(), payload.end());
  return ColourTagging::added;
}

ColourTagging tag_colours_of_file(const std::string& path, const Nclx& tag) {
  FilePtr f = open_for_update(path);
  if (!f) return ColourTagging::not_editable;
  const FileSource source(f.get());
  BoxReader boxes(source);
  // The moov must be the file's only one and its last box, the chain ending cleanly after it.
  const TopLevel top = top_level(boxes);
  const std::optional<Box>& last = top.last;
  if (top.stop != BoxStop::end || top.moov_count != 1 || !last || !last->is("moov") ||
      last->payload.begin < 8) {
    return ColourTagging::not_editable;
  }
  const std::uint64_t start = last->payload.begin - 8;
  if (source.size() - start > kMaxMoov) return ColourTagging::not_editable;
  std::vector<std::uint8_t> moov(source.size() - start);
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
