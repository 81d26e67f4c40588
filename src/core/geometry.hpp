// Output geometry: encoded pixel sizes and frame-range limits. No host API, no Python.
#pragma once

#include <string_view>

namespace tavro::core {

struct PixelSize {
  long long width;
  long long height;
  bool operator==(const PixelSize&) const = default;
};

// The encoded size for a long edge and an aspect ratio: the long edge goes to the longer side,
// the other side is rounded half to even, then both are made even (an odd value goes one down)
// and raised to at least 2. H.264 rejects odd sizes, hence the evenness. Requires
// aspect_w > 0 and aspect_h > 0 (the caller reports the error).
PixelSize resolution_for(long long long_edge, long long aspect_w, long long aspect_h);

struct FrameRange {
  long long start;
  long long end;
  bool truncated;
  bool operator==(const FrameRange&) const = default;
};

// A forward range of at most max_seconds * fps frames (never fewer than one), keeping the start.
FrameRange clamp_frame_range(long long start, long long end, long long fps, long long max_seconds);

// The extension of a path's final component, from its last dot, as written; empty when the
// component has no dot or only dots before the last one (".mp4", "..mov").
std::string_view extension_of(std::string_view path);
// The final path component (after the last separator).
std::string_view basename_of(std::string_view path);

}  // namespace tavro::core
