#include "core/mp4_rotation.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "box_builder.hpp"

using box_builder::box;
using box_builder::Bytes;
using box_builder::put32;
using tavro::core::MemorySource;
using tavro::core::quarter_turns_of_matrix;
using tavro::core::video_display;

namespace {

constexpr std::int32_t kOne = 0x10000;  // 1.0 in 16.16

Bytes tkhd(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, int version = 0) {
  Bytes p{static_cast<std::uint8_t>(version), 0, 0, 3};
  p.resize(p.size() + (version == 1 ? 32 : 20) + 16, 0);
  for (std::int32_t v : {a, b, 0, c, d, 0, 0, 0, 0x40000000})
    put32(p, static_cast<std::uint32_t>(v));
  put32(p, 320u << 16);
  put32(p, 180u << 16);
  return box("tkhd", {p});
}

Bytes trak(const Bytes& header, const char* handler) {
  Bytes h{0, 0, 0, 0, 0, 0, 0, 0};
  h.insert(h.end(), handler, handler + 4);
  h.resize(h.size() + 13, 0);
  return box("trak", {header, box("mdia", {box("mdhd", {Bytes(24, 0)}), box("hdlr", {h})})});
}

// An MP4 whose sound track comes first with another matrix, so only the video track's counts.
Bytes movie(const Bytes& video_tkhd) {
  Bytes out = box("ftyp", {Bytes{'i', 's', 'o', 'm', 0, 0, 2, 0}});
  Bytes moov = box("moov", {box("mvhd", {Bytes(100, 0)}), trak(tkhd(-kOne, 0, 0, -kOne), "soun"),
                            trak(video_tkhd, "vide")});
  out.insert(out.end(), moov.begin(), moov.end());
  return out;
}

int turns(const Bytes& bytes) { return video_display(MemorySource(bytes)).quarter_turns; }

}  // namespace

TEST(QuarterTurnsOfMatrix, AxisAlignedTurnsAndEverythingElse) {
  EXPECT_EQ(quarter_turns_of_matrix(kOne, 0, 0, kOne), 0);
  EXPECT_EQ(quarter_turns_of_matrix(0, -kOne, kOne, 0), 1);  // what "rotate=90" writes
  EXPECT_EQ(quarter_turns_of_matrix(-kOne, 0, 0, -kOne), 2);
  EXPECT_EQ(quarter_turns_of_matrix(0, kOne, -kOne, 0), 3);
  // Rounded sine and cosine, and a uniform scale, still count.
  EXPECT_EQ(quarter_turns_of_matrix(3, -kOne + 1, kOne - 1, -2), 1);
  EXPECT_EQ(quarter_turns_of_matrix(0, -2 * kOne, 2 * kOne, 0), 1);
  // Mirrors, 45 degrees, shears and an empty matrix are shown as stored.
  EXPECT_EQ(quarter_turns_of_matrix(-kOne, 0, 0, kOne), 0);
  EXPECT_EQ(quarter_turns_of_matrix(0, kOne, kOne, 0), 0);
  EXPECT_EQ(quarter_turns_of_matrix(46341, -46341, 46341, 46341), 0);
  EXPECT_EQ(quarter_turns_of_matrix(kOne, kOne, 0, kOne), 0);
  EXPECT_EQ(quarter_turns_of_matrix(0, 0, 0, 0), 0);
  EXPECT_EQ(quarter_turns_of_matrix(INT32_MIN, 0, 0, INT32_MIN), 2);
}

TEST(VideoQuarterTurns, ReadsTheVideoTracksMatrixInBothHeaderVersions) {
  EXPECT_EQ(turns(movie(tkhd(0, -kOne, kOne, 0))), 1);
  EXPECT_EQ(turns(movie(tkhd(0, kOne, -kOne, 0, 1))), 3);
  EXPECT_EQ(turns(movie(tkhd(kOne, 0, 0, kOne))), 0);
  // The picture's size before the turn, from the same header; none from a header cut before it.
  auto shown = video_display(MemorySource(movie(tkhd(0, -kOne, kOne, 0, 1))));
  EXPECT_EQ((std::array{shown.quarter_turns, int(shown.width), int(shown.height)}),
            (std::array{1, 320, 180}));
  Bytes cut = box("moov", {trak(box("tkhd", {Bytes(40 + 36, 0)}), "vide")});
  EXPECT_EQ(video_display(MemorySource(cut)).width, 0u);
}

TEST(VideoQuarterTurns, FollowsLargeAndOpenEndedBoxSizes) {
  // A 64-bit sized mdat before the moov, and a moov whose size 0 runs to the end of the file.
  Bytes file = box("ftyp", {Bytes(8, 0)});
  Bytes mdat{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 20, 1, 2, 3, 4};
  file.insert(file.end(), mdat.begin(), mdat.end());
  Bytes moov = box("moov", {trak(tkhd(0, -kOne, kOne, 0), "vide")});
  moov[0] = moov[1] = moov[2] = moov[3] = 0;
  file.insert(file.end(), moov.begin(), moov.end());
  EXPECT_EQ(turns(file), 1);
}

TEST(VideoQuarterTurns, DamagedOrForeignBytesCountAsUnrotated) {
  const Bytes good = movie(tkhd(0, -kOne, kOne, 0));
  for (std::size_t n = 0; n < good.size(); ++n) {  // every truncation
    EXPECT_EQ(turns(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), 0) << n;
  }
  Bytes oversized = good;
  oversized[3] = 0xff;  // the ftyp box claims more than the file holds
  EXPECT_EQ(turns(oversized), 0);
  Bytes undersized = good;
  undersized[3] = 4;  // smaller than its own header
  EXPECT_EQ(turns(undersized), 0);
  EXPECT_EQ(turns(Bytes{0x1a, 0x45, 0xdf, 0xa3, 0x9f, 0x42, 0x86, 0x81}), 0);  // Matroska/WebM
  // Many empty boxes before the moov: the reader gives up within its box budget.
  Bytes crowded;
  for (int i = 0; i < 5000; ++i) {
    Bytes free = box("free", {});
    crowded.insert(crowded.end(), free.begin(), free.end());
  }
  crowded.insert(crowded.end(), good.begin(), good.end());
  EXPECT_EQ(turns(crowded), 0);
}

TEST(VideoQuarterTurns, ReadsAFileByItsUtf8PathAndToleratesAMissingOne) {
  // A Chinese user name with a space puts such characters in every temporary path on Windows.
  const auto dir =
      std::filesystem::temp_directory_path() / std::filesystem::path(u8"tavro 旋转 测试");
  std::filesystem::create_directories(dir);
  const auto path = dir / std::filesystem::path(u8"手机 视频.mp4");
  const Bytes bytes = movie(tkhd(0, -kOne, kOne, 0));
  {
    std::ofstream out(path, std::ios::binary);
    ASSERT_TRUE(out);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  const std::u8string u8 = path.u8string();
  const std::string utf8(u8.begin(), u8.end());
  EXPECT_EQ(tavro::core::video_display_of_file(utf8).quarter_turns, 1);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(tavro::core::video_display_of_file(utf8).quarter_turns, 0);
}
