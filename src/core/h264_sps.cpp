#include "core/h264_sps.hpp"

#include <algorithm>
#include <iterator>

namespace tavro::core {
namespace {

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

// Bit `p` of `bytes`, counting from the first byte's most significant bit.
unsigned bit_at(std::span<const std::uint8_t> bytes, std::size_t p) {
  return (bytes[p / 8] >> (7 - p % 8)) & 1u;
}

// Reads bits most significant first; past the end every read fails.
class Bits {
 public:
  // Reading from bit `from` on.
  explicit Bits(std::span<const std::uint8_t> bytes, std::size_t from = 0)
      : bytes_(bytes), pos_(from) {}
  std::optional<std::uint32_t> u(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= bytes_.size() * 8) return {};
      v = v << 1 | bit_at(bytes_, pos_++);
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
  std::size_t pos_;
};

class BitWriter {
 public:
  void put(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1u);
  }
  void copy(std::span<const std::uint8_t> from, std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) bit(bit_at(from, p));
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

}  // namespace

Described sps_with_colour(std::span<const std::uint8_t> nal, const Nclx& tag) {
  const std::vector<std::uint8_t> raw = unescaped(nal);
  auto at = video_signal_flag_at(raw);
  if (!at) return {};
  // The payload ends with a stop bit: the last set bit.
  std::size_t stop = raw.size() * 8;
  while (stop > *at && !bit_at(raw, stop - 1)) --stop;
  if (stop <= *at + 1) return {};
  --stop;
  Bits bits(raw, *at);
  BitWriter out;
  out.copy(raw, 0, *at);
  out.put(1, 1);  // video_signal_type_present_flag
  std::size_t rest = *at + 1;
  if (*bits.u(1)) {
    auto format = bits.u(3);
    auto range = bits.u(1);
    auto described = bits.u(1);
    if (!described) return {};
    if (*described) return {.already = true, .rewritten = std::nullopt};
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
  return {.already = false, .rewritten = escaped(out.finished())};
}

}  // namespace tavro::core
