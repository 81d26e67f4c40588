// The source table: every kind of source the panel offers, one row each, with everything the
// add-on does differently for it. Production, the size check and the panel read it; the
// registration layer takes its choice keys from `_SOURCES`, made from it.
#pragma once

#include <cstddef>
#include <string_view>

#include "py/py.hpp"

namespace ops {

// What a source is made from: the scene seen through a chosen camera, a video file, or an
// object that the render's own camera goes round.
enum class Input { camera, video_file, object };

struct Source {
  const char* key;              // the `source` property's value
  const char* asset_kind;       // what the bridge, the import URL and /meta call the asset
  const char* size_limit;       // the name in `config` of the asset's byte limit
  Input input;                  // the precondition production checks and the panel's settings box
  bool frame_range = false;     // takes the frame range (render call, panel row, estimate)
  bool frame_progress = false;  // shows the frames done in the host's progress while rendering
  const char* render;           // the function of `render` that produces it
  const char* stage = nullptr;  // the one that sets it up as the host's render job; none: the
                                // send from the interface renders it at once too
  bool fallback = false;        // production's row for a value that no row holds
};

// The arguments of a render call follow from the row: a camera source gets (scene, camera,
// long_edge, aspect_w, aspect_h[, frame_start, frame_end]), a video file (src, long_edge), an
// object (scene, object name, long_edge, aspect_w, aspect_h, seconds, include_others).
inline constexpr Source kSources[] = {
    {.key = "SNAPSHOT",
     .asset_kind = "image",
     .size_limit = "MAX_IMAGE_BYTES",
     .input = Input::camera,
     .render = "render_snapshot"},
    {.key = "ANIMATION",
     .asset_kind = "video",
     .size_limit = "MAX_VIDEO_BYTES",
     .input = Input::camera,
     .frame_range = true,
     .frame_progress = true,
     .render = "render_animation",
     .stage = "stage_animation",
     .fallback = true},
    {.key = "VIDEO",
     .asset_kind = "video",
     .size_limit = "MAX_VIDEO_BYTES",
     .input = Input::video_file,
     .frame_progress = true,
     .render = "transcode_local_video",
     .stage = "stage_local_video"},
    {.key = "TURNTABLE",
     .asset_kind = "video",
     .size_limit = "MAX_VIDEO_BYTES",
     .input = Input::object,
     .frame_progress = true,
     .render = "render_turntable",
     .stage = "stage_turntable"},
};

namespace detail {
consteval bool well_formed(const Source (&rows)[std::size(kSources)]) {
  size_t fallbacks = 0;
  for (const Source& a : rows) {
    // Production falls back only after the camera check, so the fallback is a camera source,
    // and one that can be staged.
    if (a.fallback && (a.input != Input::camera || a.stage == nullptr)) return false;
    fallbacks += a.fallback;
    for (const Source& b : rows) {
      if (&a != &b && std::string_view(a.key) == b.key) return false;
      // The size check knows only the asset kind, so one kind has one limit.
      if (std::string_view(a.asset_kind) == b.asset_kind &&
          std::string_view(a.size_limit) != b.size_limit)
        return false;
    }
  }
  return fallbacks == 1;
}
}  // namespace detail
static_assert(detail::well_formed(kSources),
              "source rows: unique keys, one limit per asset kind, one fallback row, a camera one");

// The row production falls back to.
const Source& fallback_source();
// The row whose key equals `key`, or null.
const Source* find_source(PyObject* key);
// The row for `key`, the fallback row when no row holds it.
const Source& source_or_fallback(PyObject* key);
// The first row that produces assets of `kind`, the fallback row for any other kind.
const Source& source_of_asset(PyObject* kind);
// The keys in table order: the value of `_SOURCES`.
py::Ref source_keys();

}  // namespace ops
