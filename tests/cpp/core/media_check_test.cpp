#include "core/media_check.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_builder.hpp"

using box_builder::box;
using box_builder::Bytes;
using box_builder::joined;
using box_builder::kFtyp;
using box_builder::kMdat;
using box_builder::moov;
using box_builder::mp4;
using box_builder::put32;
using box_builder::trak;
using tavro::core::MediaFault;
using tavro::core::MemorySource;

namespace {

Bytes chunk(const char* type, const Bytes& data) {
  Bytes out;
  put32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  put32(out, 0);  // the CRC is not checked
  return out;
}

Bytes png(std::uint32_t w, std::uint32_t h, std::uint8_t colour_type = 6) {
  Bytes ihdr;
  put32(ihdr, w);
  put32(ihdr, h);
  ihdr.insert(ihdr.end(), {8, colour_type, 0, 0, 0});
  return joined({{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'},
                 chunk("IHDR", ihdr),
                 chunk("tEXt", Bytes(9, 'x')),
                 chunk("IDAT", Bytes(40, 7)),
                 chunk("IDAT", Bytes(9, 7)),
                 chunk("IEND", {})});
}

MediaFault png_fault(const Bytes& b) { return tavro::core::check_png(MemorySource(b), 64, 36); }
MediaFault mp4_fault(const Bytes& b) {
  return tavro::core::check_mp4(MemorySource(b), 320, 180, 48);
}
bool cut_short(const Bytes& b) { return tavro::core::mp4_cut_short(MemorySource(b)); }

Bytes cut(const Bytes& b, std::size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace

TEST(CheckPng, AWholePictureOfTheSizePassesWhateverItsColourType) {
  EXPECT_EQ(png_fault(png(64, 36)), MediaFault::none);
  EXPECT_EQ(png_fault(png(64, 36, 2)), MediaFault::none);
}

TEST(CheckPng, EveryCutAndEveryDamageIsRefused) {
  const Bytes good = png(64, 36);
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_NE(png_fault(cut(good, n)), MediaFault::none) << n;
  Bytes long_chunk = good;
  long_chunk[33 + 3] = 200;  // the tEXt chunk claims more than the file holds
  Bytes huge_chunk = good;
  huge_chunk[33] = 0x80;  // beyond PNG's largest chunk length
  const Bytes no_ihdr = joined({cut(good, 8), chunk("IDAT", {}), chunk("IEND", {})});
  const struct {
    const char* name;
    Bytes bytes;
    MediaFault fault;
  } cases[] = {
      {"other size", png(36, 64), MediaFault::wrong_size},
      {"bytes after IEND", joined({good, {0}}), MediaFault::not_media},
      {"chunk past the end", long_chunk, MediaFault::cut_short},
      {"chunk too long", huge_chunk, MediaFault::not_media},
      {"no IHDR first", no_ihdr, MediaFault::not_media},
      {"an MP4", mp4(), MediaFault::not_media},
  };
  for (const auto& c : cases) EXPECT_EQ(png_fault(c.bytes), c.fault) << c.name;
}

TEST(CheckMp4, WholeFilesPassWithTheIndexFirstOrLastAndEitherSampleTable) {
  EXPECT_EQ(mp4_fault(mp4()), MediaFault::none);
  EXPECT_EQ(mp4_fault(joined({kFtyp, moov({trak("vide", 320, 180, 48)}), kMdat})),
            MediaFault::none);
  EXPECT_EQ(mp4_fault(joined({kFtyp, moov({trak("vide", 320, 180, 48, "stz2")})})),
            MediaFault::none);
  // A 64-bit sized mdat, and a last box whose size 0 runs to the end of the file.
  Bytes large{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 20, 1, 2, 3, 4};
  Bytes open_ended = moov({trak("vide", 320, 180, 48)});
  open_ended[0] = open_ended[1] = open_ended[2] = open_ended[3] = 0;
  EXPECT_EQ(mp4_fault(joined({kFtyp, large, open_ended})), MediaFault::none);
}

TEST(CheckMp4, EveryCutAndEveryDamageIsRefused) {
  const Bytes good = mp4();
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_NE(mp4_fault(cut(good, n)), MediaFault::none) << n;
  const Bytes video = trak("vide", 320, 180, 48);
  const struct {
    const char* name;
    Bytes bytes;
    MediaFault fault;
  } cases[] = {
      {"other size", mp4(180, 320), MediaFault::wrong_size},
      {"other frame count", mp4(320, 180, 47), MediaFault::wrong_frames},
      {"no index", joined({kFtyp, kMdat}), MediaFault::not_media},
      {"bytes after the index", joined({good, {0, 0, 0}}), MediaFault::cut_short},
      {"two indexes", joined({good, moov({video})}), MediaFault::not_media},
      {"two video tracks", joined({kFtyp, moov({video, video})}), MediaFault::not_media},
      {"no video track", joined({kFtyp, moov({trak("soun", 0, 0, 48)})}), MediaFault::not_media},
      {"no sample table", joined({kFtyp, moov({trak("vide", 320, 180, 48, "xxxx")})}),
       MediaFault::not_media},
      {"a PNG", png(320, 180), MediaFault::cut_short},
  };
  for (const auto& c : cases) EXPECT_EQ(mp4_fault(c.bytes), c.fault) << c.name;
}

TEST(Mp4CutShort, OnlyABoxRunningPastTheEndOfAnMp4Counts) {
  const Bytes faststart = joined({kFtyp, moov({trak("vide", 320, 180, 48)}), kMdat});
  EXPECT_FALSE(cut_short(faststart));
  EXPECT_TRUE(cut_short(cut(faststart, faststart.size() - kMdat.size() / 2)));
  EXPECT_TRUE(cut_short(cut(mp4(), mp4().size() / 2)));
  EXPECT_FALSE(cut_short({}));
  EXPECT_FALSE(cut_short(cut(png(64, 36), 40)));
  EXPECT_FALSE(cut_short(Bytes{0x1a, 0x45, 0xdf, 0xa3, 0x9f, 0x42, 0x86, 0x81}));  // Matroska
  EXPECT_FALSE(tavro::core::mp4_cut_short_of_file("/nonexistent/tavro/clip.mp4"));
}
