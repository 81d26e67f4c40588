// A turntable's camera: one turn around an object's vertical axis at a fixed elevation, far
// enough that the whole object stays in frame at every angle. No host API, no Python.
//
// Conventions are the host's: Z is up, a camera looks along its local -Z with +Y up, and its
// rotation is an XYZ Euler triple in radians. The camera starts in front of the object (on the
// -Y side, Blender's front view) and goes round clockwise seen from above, so the object seems
// to turn counter-clockwise: a quarter of the way, the camera is on the -X side.
#pragma once

#include <array>
#include <span>
#include <vector>

namespace tavro::core {

struct Vec3 {
  double x, y, z;
  bool operator==(const Vec3&) const = default;
};

// A row-major 4x4 affine transform (the host's matrix_world as read row by row).
using Matrix4 = std::array<double, 16>;
Vec3 transform_point(const Matrix4& m, const Vec3& p);

// The camera the turntable renders through.
struct TurntableLens {
  static constexpr double kFocalMm = 50;   // a moderate telephoto: little perspective distortion
  static constexpr double kSensorMm = 36;  // fitted to the frame's longer side (host's AUTO fit)
  static constexpr double kElevation = 0.3490658503988659;  // 20 degrees above the horizon
  static constexpr double kFill = 0.9;  // the object's extent at most 90% of the half-frame
};

struct Pose {
  Vec3 location;
  Vec3 rotation;  // XYZ Euler, radians
};

struct TurntablePlan {
  Vec3 centre;      // of the points' axis-aligned bounds: what the camera circles and aims at
  double distance;  // from the centre to the camera
  double radius;    // the farthest point from the centre
  double clip_start, clip_end;
  long long frames;  // one turn
};

// The plan for `points` (world-space corners of the object's bounding boxes) turning once over
// `frames` frames into a width x height frame. Requires a point and frames >= 1.
TurntablePlan plan_turntable(std::span<const Vec3> points, long long frames, long long width,
                             long long height);

// The camera's azimuth (radians, from +X counter-clockwise) at frame `index` of a turn.
double turntable_azimuth(long long index, long long frames);

// The camera at frame `index` (0 = the first frame; `frames` would be the first again).
Pose turntable_pose(const TurntablePlan& plan, long long index);

// Tangents of the half-angles of view (horizontal, vertical) of the lens on a width x height
// frame: the sensor spans the longer side.
std::array<double, 2> half_view_tangents(long long width, long long height);

}  // namespace tavro::core
