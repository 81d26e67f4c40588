#include "core/geometry.hpp"

#include <gtest/gtest.h>

using tavro::core::clamp_frame_range;
using tavro::core::FrameRange;
using tavro::core::PixelSize;
using tavro::core::resolution_for;

TEST(ResolutionFor, WorkedTable) {
  struct Row {
    long long edge, aw, ah;
    PixelSize want;
  } rows[] = {
      {1920, 16, 9, {1920, 1080}}, {1920, 9, 16, {1080, 1920}}, {1280, 4, 3, {1280, 960}},
      {1280, 21, 9, {1280, 548}},  {720, 9, 16, {404, 720}},    {1001, 1, 1, {1000, 1000}},
      {7, 2, 1, {6, 4}},           {10, 4, 1, {10, 2}},         {0, 16, 9, {2, 2}},
      {1, 1, 1, {2, 2}},
  };
  for (const auto& r : rows)
    EXPECT_EQ(resolution_for(r.edge, r.aw, r.ah), r.want) << r.edge << " " << r.aw << ":" << r.ah;
}

TEST(ResolutionFor, TiesGoToEvenBeforeTheEvennessStep) {
  EXPECT_EQ(resolution_for(5, 2, 1), (PixelSize{4, 2}));    // 2.5 -> 2
  EXPECT_EQ(resolution_for(11, 2, 1), (PixelSize{10, 6}));  // 5.5 -> 6
  EXPECT_EQ(resolution_for(9, 2, 1), (PixelSize{8, 4}));    // 4.5 -> 4
  EXPECT_EQ(resolution_for(13, 1, 2), (PixelSize{6, 12}));  // portrait 6.5 -> 6
  EXPECT_EQ(resolution_for(15, 1, 2), (PixelSize{8, 14}));  // portrait 7.5 -> 8
}

TEST(ResolutionFor, NegativeEdgesGoDownToTheFloor) {
  EXPECT_EQ(resolution_for(-3, 1, 1), (PixelSize{2, 2}));
  EXPECT_EQ(resolution_for(-1920, 16, 9), (PixelSize{2, 2}));
  // A huge ratio rounds the short side to zero, which the floor lifts to 2.
  EXPECT_EQ(resolution_for(1280, 100000, 1), (PixelSize{1280, 2}));
}

TEST(ClampFrameRange, Cases) {
  EXPECT_EQ(clamp_frame_range(1, 720, 24, 30), (FrameRange{1, 720, false}));
  EXPECT_EQ(clamp_frame_range(1, 721, 24, 30), (FrameRange{1, 720, true}));
  EXPECT_EQ(clamp_frame_range(250, 1, 24, 30), (FrameRange{1, 250, false}));
  EXPECT_EQ(clamp_frame_range(5, 5, 24, 30), (FrameRange{5, 5, false}));
  EXPECT_EQ(clamp_frame_range(1, 100, 0, 30), (FrameRange{1, 1, true}));
  EXPECT_EQ(clamp_frame_range(1000, -10, 24, 30), (FrameRange{-10, 709, true}));
  EXPECT_EQ(clamp_frame_range(1, 2, -24, 30), (FrameRange{1, 1, true}));
}

TEST(Paths, ExtensionOfTheFinalComponentOnly) {
  using tavro::core::extension_of;
  EXPECT_EQ(extension_of("/a/Clip.MOV"), ".MOV");
  EXPECT_EQ(extension_of("/a/clip.tar.mkv"), ".mkv");
  EXPECT_EQ(extension_of("/a/clip"), "");
  EXPECT_EQ(extension_of("/a/.mp4"), "");
  EXPECT_EQ(extension_of("/a/..mov"), "");
  EXPECT_EQ(extension_of("/a.mp4/clip"), "");
  EXPECT_EQ(extension_of("clip."), ".");
  EXPECT_EQ(extension_of(".a.mp4"), ".mp4");
  EXPECT_EQ(tavro::core::basename_of("/x/y/z.mp4"), "z.mp4");
  EXPECT_EQ(tavro::core::basename_of("z.mp4"), "z.mp4");
}
