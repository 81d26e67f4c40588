#include "core/turntable.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

using namespace tavro::core;

namespace {

constexpr double kPi = std::numbers::pi;

// Where `p` lands seen from `pose`, worked out from the Euler angles the host would apply
// (R = Rz Ry Rx, looking along local -Z): x and y in half-frame units, and the depth.
Vec3 project(const Pose& pose, const std::array<double, 2>& tangents, const Vec3& p) {
  const double cx = std::cos(pose.rotation.x), sx = std::sin(pose.rotation.x);
  const double cy = std::cos(pose.rotation.y), sy = std::sin(pose.rotation.y);
  const double cz = std::cos(pose.rotation.z), sz = std::sin(pose.rotation.z);
  const double r[3][3] = {{cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
                          {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
                          {-sy, cy * sx, cy * cx}};
  const double v[3] = {p.x - pose.location.x, p.y - pose.location.y, p.z - pose.location.z};
  double q[3];
  for (int c = 0; c < 3; ++c) q[c] = r[0][c] * v[0] + r[1][c] * v[1] + r[2][c] * v[2];
  return {q[0] / -q[2] / tangents[0], q[1] / -q[2] / tangents[1], -q[2]};
}

std::vector<Vec3> box(Vec3 lo, Vec3 hi) {
  std::vector<Vec3> out;
  for (int i = 0; i < 8; ++i)
    out.push_back({i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z});
  return out;
}

}  // namespace

TEST(Turntable, LensFitsTheSensorToTheLongerSide) {
  auto wide = half_view_tangents(1920, 1080), tall = half_view_tangents(1080, 1920);
  EXPECT_DOUBLE_EQ(wide[0], 0.36);
  EXPECT_DOUBLE_EQ(wide[1], 0.36 * 1080 / 1920);
  EXPECT_DOUBLE_EQ(tall[0], wide[1]);
  EXPECT_DOUBLE_EQ(tall[1], 0.36);
}

TEST(Turntable, TransformIsRowMajorAffine) {
  // A quarter turn about Z, then a move by (10, 20, 30).
  const Matrix4 m = {0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1};
  EXPECT_EQ(transform_point(m, {1, 2, 3}), (Vec3{8, 21, 33}));
}

TEST(Turntable, CameraCirclesTheCentreAtTwentyDegreesFromTheFrontClockwise) {
  const auto points = box({1, 2, 3}, {3, 3, 4});  // centre (2, 2.5, 3.5), off the origin
  const TurntablePlan plan = plan_turntable(points, 96, 1280, 720);
  const Vec3 c{2, 2.5, 3.5};
  EXPECT_EQ(plan.centre, c);
  const auto tangents = half_view_tangents(1280, 720);
  for (long long i = 0; i <= 96; i += 8) {
    const Pose pose = turntable_pose(plan, i);
    const Vec3 aim = project(pose, tangents, c);
    EXPECT_NEAR(aim.x, 0, 1e-9) << i;
    EXPECT_NEAR(aim.y, 0, 1e-9) << i;
    EXPECT_NEAR(aim.z, plan.distance, 1e-9 * plan.distance) << i;
    EXPECT_NEAR(pose.location.z - c.z, plan.distance * std::sin(20 * kPi / 180), 1e-9) << i;
    // Up in the picture is up in the world: a point above the centre shows above it.
    EXPECT_GT(project(pose, tangents, {c.x, c.y, c.z + 0.1}).y, 0) << i;
  }
  auto offset = [&](long long i) {
    const Vec3 l = turntable_pose(plan, i).location;
    return Vec3{l.x - c.x, l.y - c.y, 0};
  };
  // Front (-Y), a quarter later the -X side, half way the back, then +X.
  const Vec3 front = offset(0), quarter = offset(24), half = offset(48), three = offset(72);
  EXPECT_NEAR(front.x, 0, 1e-9);
  EXPECT_LT(front.y, 0);
  EXPECT_LT(quarter.x, 0);
  EXPECT_NEAR(quarter.y, 0, 1e-9);
  EXPECT_GT(half.y, 0);
  EXPECT_GT(three.x, 0);
  // The loop closes: the frame after the last is the first, seen through the same camera.
  const Pose first = turntable_pose(plan, 0), after_last = turntable_pose(plan, 96);
  EXPECT_NEAR(after_last.location.x, first.location.x, 1e-9);
  EXPECT_NEAR(after_last.location.y, first.location.y, 1e-9);
  EXPECT_NEAR(after_last.rotation.z, first.rotation.z - 2 * kPi, 1e-12);
  // Consecutive frames turn by the same small step, never a jump of a whole turn.
  for (long long i = 1; i < 96; ++i) {
    EXPECT_NEAR(turntable_pose(plan, i).rotation.z - turntable_pose(plan, i - 1).rotation.z,
                -2 * kPi / 96, 1e-12);
  }
}

TEST(Turntable, WholeObjectInFrameWithMarginAtEveryAngleAndEveryScale) {
  struct Shape {
    const char* name;
    std::vector<Vec3> points;
  };
  const Shape shapes[] = {
      {"unit cube", box({-1, -1, -1}, {1, 1, 1})},
      {"long bar off the origin", box({4, -0.5, 0}, {10, 0.5, 1})},
      {"flat plate", box({-2, -2, 0}, {2, 2, 0})},
      {"tall pole", box({-0.05, -0.05, 0}, {0.05, 0.05, 6})},
      {"1 cm part", box({0, 0, 0}, {0.01, 0.004, 0.006})},
      {"1 km site", box({-500, -300, 0}, {500, 300, 120})},
  };
  const long long sizes[][2] = {{1920, 1080}, {1080, 1920}, {1080, 1080}, {1280, 548}};
  for (const Shape& s : shapes) {
    for (const auto& size : sizes) {
      for (long long frames : {7LL, 144LL}) {
        const TurntablePlan plan = plan_turntable(s.points, frames, size[0], size[1]);
        const auto tangents = half_view_tangents(size[0], size[1]);
        double widest = 0;
        // A thousand angles of the turn, most of them between the rendered frames.
        TurntablePlan fine = plan;
        fine.frames = 1000;
        for (long long i = 0; i < 1000; ++i) {
          const Pose pose = turntable_pose(fine, i);
          for (const Vec3& p : s.points) {
            const Vec3 q = project(pose, tangents, p);
            ASSERT_LE(std::fabs(q.x), 0.9 + 1e-3) << s.name << " " << size[0] << " " << i;
            ASSERT_LE(std::fabs(q.y), 0.9 + 1e-3) << s.name << " " << size[0] << " " << i;
            ASSERT_GT(q.z, plan.clip_start) << s.name;
            ASSERT_LT(q.z, plan.clip_end) << s.name;
            widest = std::max({widest, std::fabs(q.x), std::fabs(q.y)});
          }
        }
        // Not far away either: at some angle the object reaches nearly to the margin.
        EXPECT_GT(widest, 0.85) << s.name << " " << size[0] << "x" << size[1];
      }
    }
  }
}

TEST(Turntable, FramingScalesWithTheObject) {
  const TurntablePlan small = plan_turntable(box({0, 0, 0}, {0.01, 0.01, 0.01}), 24, 1280, 720);
  const TurntablePlan big = plan_turntable(box({0, 0, 0}, {1000, 1000, 1000}), 24, 1280, 720);
  EXPECT_NEAR(big.distance / small.distance, 1e5, 1e-6 * 1e5);
  EXPECT_NEAR(big.clip_start / small.clip_start, 1e5, 1e-6 * 1e5);
  EXPECT_NEAR(big.clip_end / small.clip_end, 1e5, 1e-6 * 1e5);
  EXPECT_GT(small.clip_start, 0);
}
