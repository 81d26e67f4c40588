#include "turntable.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavro::core {
namespace {

constexpr double kTau = 2 * std::numbers::pi;
// The camera never comes closer to the centre than this many radii, so the whole object stays
// in front of it whatever its shape.
constexpr double kMinDistanceInRadii = 1.05;
// Azimuths checked besides the rendered ones, so that the framing holds at every angle.
constexpr long long kExtraAngles = 360;

Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The camera's right, up and forward (towards the centre) for an azimuth at the elevation.
struct Basis {
  Vec3 right, up, forward;
};
Basis orbit_basis(double azimuth) {
  const double ce = std::cos(TurntableLens::kElevation), se = std::sin(TurntableLens::kElevation);
  const double ca = std::cos(azimuth), sa = std::sin(azimuth);
  return {{-sa, ca, 0}, {-ca * se, -sa * se, ce}, {-ce * ca, -ce * sa, -se}};
}

// The least distance at which every point stays within the fill at this azimuth: a point at
// (x, y) across the view and `ahead` beyond the centre lands at x / (distance + ahead).
double distance_at(std::span<const Vec3> points, const Vec3& centre, double azimuth,
                   const std::array<double, 2>& tangents) {
  const Basis b = orbit_basis(azimuth);
  const double kw = TurntableLens::kFill * tangents[0], kh = TurntableLens::kFill * tangents[1];
  double d = 0;
  for (const Vec3& p : points) {
    const Vec3 q = p - centre;
    const double ahead = dot(q, b.forward);
    d = std::max(
        {d, std::fabs(dot(q, b.right)) / kw - ahead, std::fabs(dot(q, b.up)) / kh - ahead});
  }
  return d;
}

}  // namespace

Vec3 transform_point(const Matrix4& m, const Vec3& p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
          m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

std::array<double, 2> half_view_tangents(long long width, long long height) {
  const double longest = (TurntableLens::kSensorMm / 2) / TurntableLens::kFocalMm;
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  if (w >= h) return {longest, longest * h / w};
  return {longest * w / h, longest};
}

double turntable_azimuth(long long index, long long frames) {
  const double turned = static_cast<double>(index) / static_cast<double>(std::max(frames, 1LL));
  return -std::numbers::pi / 2 - kTau * turned;
}

TurntablePlan plan_turntable(std::span<const Vec3> points, long long frames, long long width,
                             long long height) {
  TurntablePlan plan{};
  plan.frames = std::max(frames, 1LL);
  if (points.empty()) return plan;
  Vec3 lo = points[0], hi = points[0];
  for (const Vec3& p : points) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
  plan.centre = {(lo.x + hi.x) / 2, (lo.y + hi.y) / 2, (lo.z + hi.z) / 2};
  for (const Vec3& p : points) {
    const Vec3 q = p - plan.centre;
    plan.radius = std::max(plan.radius, std::sqrt(dot(q, q)));
  }
  const auto tangents = half_view_tangents(width, height);
  double d = kMinDistanceInRadii * plan.radius;
  for (long long i = 0; i < plan.frames; ++i)
    d = std::max(d, distance_at(points, plan.centre, turntable_azimuth(i, plan.frames), tangents));
  for (long long i = 0; i < kExtraAngles; ++i)
    d = std::max(d, distance_at(points, plan.centre, turntable_azimuth(i, kExtraAngles), tangents));
  plan.distance = d;
  // Both planes scale with the object, so a 1 cm part and a 1 km site get the same depth
  // precision; the object lies between d - r and d + r.
  plan.clip_start = (d - plan.radius) / 2;
  plan.clip_end = (d + plan.radius) * 1.5;
  return plan;
}

Pose turntable_pose(const TurntablePlan& plan, long long index) {
  const double az = turntable_azimuth(index, plan.frames);
  const double el = TurntableLens::kElevation;
  const double ring = plan.distance * std::cos(el);
  Pose pose;
  pose.location = {plan.centre.x + ring * std::cos(az), plan.centre.y + ring * std::sin(az),
                   plan.centre.z + plan.distance * std::sin(el)};
  // Tilted up from looking straight down by 90 - elevation degrees, then turned to face the
  // centre. The turn keeps counting past a full circle, so consecutive frames never jump.
  pose.rotation = {std::numbers::pi / 2 - el, 0, az + std::numbers::pi / 2};
  return pose;
}

}  // namespace tavro::core
