#include "core/mp4_colour.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <optional>
#include <span>

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

// Whether the sample entry's child boxes chain cleanly to its end; `tagged` if one is a colr,
// `avcc` the payload of its avcC box, if any.
bool entry_children(BoxReader& boxes, Range entry, bool* tagged, std::optional<Range>* avcc) {
  if (entry.end - entry.begin < kVisualEntryFields) return false;
  for (std::uint64_t pos = entry.begin + kVisualEntryFields;;) {
    BoxStop stop{};
    auto box = boxes.at(entry, pos, &stop);
    if (!box) return stop == BoxStop::end;
    // A child sized "to the end of its parent" would swallow a box added after it.
    std::array<std::uint8_t, 4> size{};
    if (!boxes.read(entry, pos - entry.begin, size) ||
        be32(size.data()) != box->payload.end - pos) {
      return false;
    }
    *tagged = *tagged || box->is("colr");
    if (box->is("avcC") && !*avcc) *avcc = box->payload;
    pos = box->payload.end;
  }
}

// ---- H.264 sequence parameter sets -------------------------------------------------------

// The raw bits of a NAL unit's payload, its emulation-prevention bytes taken out.
std::vector<std::uint8_t> unescaped(std::span<const std::uint8_t> nal) {
  std::vector<std::uint8_t> out;
  int zeros = 0;
  for (std::uint8_t b : nal) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

// A NAL unit's bytes from raw bits: an emulation-prevention byte wherever two zero bytes would
// be followed by one of 0 to 3.
std::vector<std::uint8_t> escaped(std::span<const std::uint8_t> raw) {
  std::vector<std::uint8_t> out;
  int zeros = 0;
  for (std::uint8_t b : raw) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

// Reads bits most significant first; past the end every read fails.
class Bits {
 public:
  explicit Bits(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::optional<std::uint32_t> u(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= bytes_.size() * 8) return {};
      v = v << 1 | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return v;
  }
  // Exp-Golomb: unsigned, and signed (only skipped here).
  std::optional<std::uint32_t> ue() {
    int zeros = 0;
    for (;;) {
      auto bit = u(1);
      if (!bit) return {};
      if (*bit) break;
      if (++zeros > 31) return {};
    }
    auto rest = u(zeros);
    if (!rest) return {};
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
  }
  bool skip_ue(int count = 1) {
    for (int i = 0; i < count; ++i)
      if (!ue()) return false;
    return true;
  }
  std::size_t pos() const { return pos_; }
  std::size_t size() const { return bytes_.size() * 8; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

class BitWriter {
 public:
  void put(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1u);
  }
  void copy(std::span<const std::uint8_t> from, std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) bit((from[p / 8] >> (7 - p % 8)) & 1u);
  }
  // The stop bit and the zero bits that align the payload's end.
  std::vector<std::uint8_t> finished() {
    bit(1);
    while (count_ % 8) bit(0);
    return std::move(bytes_);
  }

 private:
  void bit(unsigned b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<std::uint8_t>(b << (7 - count_ % 8));
    ++count_;
  }
  std::vector<std::uint8_t> bytes_;
  std::size_t count_ = 0;
};

// Skips a scaling list of `size` coefficients.
bool skip_scaling_list(Bits& bits, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      auto code = bits.ue();  // se(v), read as its unsigned code
      if (!code) return false;
      const int delta =
          (*code & 1) ? static_cast<int>((*code + 1) / 2) : -static_cast<int>(*code / 2);
      next = ((last + delta) % 256 + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
  return true;
}

// Where, in a sequence parameter set's raw bits (NAL header included), the VUI's video signal
// type flag stands; empty when the set has no VUI or cannot be read.
std::optional<std::size_t> video_signal_flag_at(std::span<const std::uint8_t> raw) {
  Bits bits(raw);
  auto header = bits.u(8);
  auto profile = bits.u(8);
  if (!header || (*header & 0x1f) != 7 || !profile || !bits.u(16) || !bits.skip_ue()) return {};
  static constexpr std::uint32_t kHighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                                    118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), *profile) !=
      std::end(kHighProfiles)) {
    auto chroma = bits.ue();
    if (!chroma || (*chroma == 3 && !bits.u(1)) || !bits.skip_ue(2) || !bits.u(1)) return {};
    auto matrices = bits.u(1);
    if (!matrices) return {};
    for (int i = 0; *matrices && i < (*chroma == 3 ? 12 : 8); ++i) {
      auto present = bits.u(1);
      if (!present || (*present && !skip_scaling_list(bits, i < 6 ? 16 : 64))) return {};
    }
  }
  auto poc_type = bits.skip_ue() ? bits.ue() : std::nullopt;  // log2_max_frame_num, then the type
  if (!poc_type) return {};
  if (*poc_type == 0 && !bits.skip_ue()) return {};
  if (*poc_type == 1) {
    auto cycle = bits.u(1) && bits.skip_ue(2) ? bits.ue() : std::nullopt;
    if (!cycle || *cycle > 255 || !bits.skip_ue(static_cast<int>(*cycle))) return {};
  }
  if (*poc_type > 2 || !bits.skip_ue() || !bits.u(1) || !bits.skip_ue(2)) return {};
  auto frame_mbs_only = bits.u(1);
  if (!frame_mbs_only || (!*frame_mbs_only && !bits.u(1)) || !bits.u(1)) return {};
  auto cropping = bits.u(1);
  if (!cropping || (*cropping && !bits.skip_ue(4))) return {};
  auto vui = bits.u(1);
  if (!vui || !*vui) return {};
  auto aspect = bits.u(1);
  if (!aspect) return {};
  if (*aspect) {
    auto idc = bits.u(8);
    if (!idc || (*idc == 255 && !bits.u(32))) return {};
  }
  auto overscan = bits.u(1);
  if (!overscan || (*overscan && !bits.u(1))) return {};
  if (bits.pos() >= bits.size()) return {};
  return bits.pos();
}

// What a decoder configuration says of its colours: already described, or the configuration
// rewritten to describe them; neither where it cannot be read.
struct Described {
  bool already = false;
  std::optional<std::vector<std::uint8_t>> rewritten;
};

// A sequence parameter set (a NAL unit, header included) with its colours described in its VUI.
Described sps_with_colour(std::span<const std::uint8_t> nal, const Nclx& tag) {
  const std::vector<std::uint8_t> raw = unescaped(nal);
  auto at = video_signal_flag_at(raw);
  if (!at) return {};
  // The payload ends with a stop bit: the last set bit.
  std::size_t stop = raw.size() * 8;
  while (stop > *at && !((raw[(stop - 1) / 8] >> (7 - (stop - 1) % 8)) & 1u)) --stop;
  if (stop <= *at + 1) return {};
  --stop;
  Bits bits(raw);
  for (std::size_t i = 0; i < *at; ++i) bits.u(1);
  BitWriter out;
  out.copy(raw, 0, *at);
  out.put(1, 1);  // video_signal_type_present_flag
  std::size_t rest = *at + 1;
  if (*bits.u(1)) {
    auto format = bits.u(3);
    auto range = bits.u(1);
    auto described = bits.u(1);
    if (!described) return {};
    if (*described) return {.already = true};
    out.put(*format, 3);
    out.put(*range, 1);
    rest = *at + 6;
  } else {
    out.put(5, 3);  // video_format: unspecified
    out.put(tag.full_range ? 1 : 0, 1);
  }
  out.put(1, 1);  // colour_description_present_flag
  out.put(tag.primaries, 8);
  out.put(tag.transfer, 8);
  out.put(tag.matrix, 8);
  out.copy(raw, rest, stop);
  return {.rewritten = escaped(out.finished())};
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
  return {.rewritten = std::move(out)};
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
  if (!entry_children(boxes, entry->payload, &tagged, &avcc)) return ColourTagging::not_editable;
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
