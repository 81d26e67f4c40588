#include "geometry.hpp"

#include <cmath>
#include <utility>

namespace tavro::core {
namespace {

// Round half to even, as Python's round() does for floats; independent of the FPU's mode.
long long round_half_even(double v) {
  const double f = std::floor(v);
  const double frac = v - f;  // exact for doubles
  double r = f;
  if (frac > 0.5 || (frac == 0.5 && std::fmod(f, 2.0) != 0.0)) r = f + 1.0;
  return static_cast<long long>(r);
}

// Subtract the remainder taken with the sign of the divisor (Python's %), so -3 becomes -4.
long long make_even(long long v) {
  long long r = v % 2;
  if (r < 0) r += 2;
  return v - r;
}

#ifdef _WIN32
constexpr std::string_view kSeparators = "\\/";
#else
constexpr std::string_view kSeparators = "/";
#endif

}  // namespace

PixelSize resolution_for(long long long_edge, long long aspect_w, long long aspect_h) {
  const double r = static_cast<double>(aspect_w) / static_cast<double>(aspect_h);
  long long w, h;
  if (r >= 1.0) {
    w = long_edge;
    h = round_half_even(static_cast<double>(long_edge) / r);
  } else {
    w = round_half_even(static_cast<double>(long_edge) * r);
    h = long_edge;
  }
  w = make_even(w);
  h = make_even(h);
  if (w <= 2) w = 2;
  if (h <= 2) h = 2;
  return {w, h};
}

FrameRange clamp_frame_range(long long start, long long end, long long fps, long long max_seconds) {
  if (end < start) std::swap(start, end);
  long long max_frames = max_seconds * fps;
  if (max_frames < 1) max_frames = 1;
  if (end - start + 1 <= max_frames) return {start, end, false};
  return {start, start + max_frames - 1, true};
}

std::string_view basename_of(std::string_view path) {
  size_t sep = path.find_last_of(kSeparators);
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string_view extension_of(std::string_view path) {
  std::string_view name = basename_of(path);
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  // Some character other than a dot must stand before the last dot.
  size_t first_non_dot = name.find_first_not_of('.');
  if (first_non_dot == std::string_view::npos || first_non_dot >= dot) return {};
  return name.substr(dot);
}

}  // namespace tavro::core
