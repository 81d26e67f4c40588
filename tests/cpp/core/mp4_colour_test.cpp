#include "core/mp4_colour.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "box_builder.hpp"
#include "core/media_check.hpp"

using box_builder::box;
using box_builder::Bytes;
using box_builder::joined;
using box_builder::kFtyp;
using box_builder::kMdat;
using box_builder::moov;
using box_builder::trak;
using tavro::core::ColourTagging;

namespace {

constexpr tavro::core::Nclx kBt601{1, 1, 6, false};
const Bytes kColr601{0, 0, 0, 19, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'x', 0, 1, 0, 1, 0, 6, 0};
const Bytes kAvcC = box("avcC", {Bytes(30, 3)});

// An MP4 as the hosts write it, its video sample entry holding `children`.
Bytes host_mp4(const Bytes& children = kAvcC) {
  return joined(
      {kFtyp, kMdat, moov({trak("soun", 0, 0, 90), trak("vide", 320, 180, 48, "stsz", children)})});
}

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Decoder configurations as x264 writes them: a Blender 3.4 output's (high profile, a VUI
// without a video signal type) and a small baseline one; each with the configuration ffmpeg's
// own h264_metadata filter makes of it with the same colours (video_format 5, limited range).
const struct {
  const char* name;
  const char* untagged;
  const char* tagged;
} kConfigurations[] = {
    {"high",
     "0164001fffe1001a6764001facd9405005bb011000000300100000030300f183196001000668ebe3cb22c0fdf8f80"
     "0",
     "0164001fffe1001c6764001facd9405005bb016a02020c800000030080000018078c18cb01000668ebe3cb22c0fdf"
     "8f800"},
    {"baseline", "0142c00affe100176742c00ada25f88c044000000300400000030283c489a801000468ce0fc8",
     "0142c00affe1001b6742c00ada25f88c05a8080832000003000200000300141e244d4001000468ce0fc8"},
};

struct TempFile {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("mp4_colour_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".mp4");
  explicit TempFile(const Bytes& b) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  ~TempFile() { std::filesystem::remove(path); }
  Bytes bytes() const {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  ColourTagging tag() const {
    const std::u8string u8 = path.u8string();  // the module's paths are UTF-8 on every platform
    return tavro::core::tag_colours_of_file(std::string(u8.begin(), u8.end()), kBt601);
  }
};

}  // namespace

TEST(Mp4Colour, AnUntaggedVideoGainsItsTagAndStaysWhole) {
  const Bytes before = host_mp4();
  TempFile file(before);
  ASSERT_EQ(file.tag(), ColourTagging::added);
  const Bytes after = file.bytes();
  // Everything before the index is where it was; the tag ends the video's sample entry, and
  // the index it grew is whole, of the same size and frame count.
  EXPECT_EQ(after, joined({kFtyp, kMdat,
                           moov({trak("soun", 0, 0, 90),
                                 trak("vide", 320, 180, 48, "stsz", joined({kAvcC, kColr601}))})}));
  EXPECT_EQ(tavro::core::check_mp4(tavro::core::MemorySource(after), 320, 180, 48),
            tavro::core::MediaFault::none);
  EXPECT_EQ(file.tag(), ColourTagging::already_tagged);  // once only
  EXPECT_EQ(file.bytes(), after);
}

TEST(Mp4Colour, WhatItDoesNotEditIsLeftAsItWas) {
  Bytes wide_moov = moov({trak("vide", 320, 180, 48)});  // the same moov with a 64-bit size
  wide_moov.insert(wide_moov.begin() + 8, 8, 0);
  Bytes sizes;
  box_builder::put32(sizes, 1);
  box_builder::put32(sizes, 0);
  box_builder::put32(sizes, static_cast<std::uint32_t>(wide_moov.size()));
  std::copy(sizes.begin(), sizes.begin() + 4, wide_moov.begin());
  std::copy(sizes.begin() + 4, sizes.end(), wide_moov.begin() + 8);
  ASSERT_EQ(
      tavro::core::check_mp4(tavro::core::MemorySource(joined({kMdat, wide_moov})), 320, 180, 48),
      tavro::core::MediaFault::none);  // whole: refused for its size field alone
  const Bytes video = trak("vide", 320, 180, 48);
  const Bytes whole = host_mp4();
  const struct {
    const char* name;
    Bytes file;
    ColourTagging expected;
  } cases[] = {
      {"tagged by its writer", host_mp4(joined({kAvcC, box("colr", {Bytes(7, 1)})})),
       ColourTagging::already_tagged},
      {"described in its stream", host_mp4(box("avcC", {from_hex(kConfigurations[0].tagged)})),
       ColourTagging::already_tagged},
      {"index first", joined({kFtyp, moov({video}), kMdat}), ColourTagging::not_editable},
      {"a box after the index", joined({kMdat, moov({video}), box("free", {})}),
       ColourTagging::not_editable},
      {"cut short", Bytes(whole.begin(), whole.end() - 5), ColourTagging::not_editable},
      {"two video tracks", joined({kMdat, moov({video, video})}), ColourTagging::not_editable},
      {"no video track", joined({kMdat, moov({trak("soun", 0, 0, 9)})}),
       ColourTagging::not_editable},
      {"entry's boxes broken", host_mp4(Bytes{0, 0, 0, 99, 'a', 'v', 'c', 'C'}),
       ColourTagging::not_editable},
      {"a box sized to the entry's end", host_mp4(Bytes{0, 0, 0, 0, 'f', 'r', 'e', 'e'}),
       ColourTagging::not_editable},
      {"64-bit index", joined({kMdat, wide_moov}), ColourTagging::not_editable},
      {"not an MP4", Bytes(64, 0x89), ColourTagging::not_editable},
      {"empty", {}, ColourTagging::not_editable},
  };
  for (const auto& c : cases) {
    TempFile file(c.file);
    EXPECT_EQ(file.tag(), c.expected) << c.name;
    EXPECT_EQ(file.bytes(), c.file) << c.name;
  }
  EXPECT_EQ(tavro::core::tag_colours_of_file("/no/such/folder/x.mp4", kBt601),
            ColourTagging::not_editable);
}

TEST(Mp4Colour, TheDecoderConfigurationSaysTheColoursAsFfmpegWouldWriteThem) {
  for (const auto& c : kConfigurations) {
    TempFile file(host_mp4(box("avcC", {from_hex(c.untagged)})));
    ASSERT_EQ(file.tag(), ColourTagging::added) << c.name;
    EXPECT_EQ(file.bytes(), host_mp4(joined({box("avcC", {from_hex(c.tagged)}), kColr601})))
        << c.name;
  }
}
