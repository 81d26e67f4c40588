// Everything this module knows about how the Blender versions it runs in differ, in one place.
// The rest of the module asks these functions and never tests a host's version or probes an
// attribute itself, so a host that renames one more thing is a change to host_caps.cpp alone
// (with the recording fake host of the Python tests modelling that version). The scene guard's
// table (guard.cpp) marks the settings it backs up only where the host has them.
#pragma once

#include "core/mp4_colour.hpp"
#include "core/mp4_rotation.hpp"
#include "py/py.hpp"

namespace render::caps {

// The sequence editor's strip collection: `strips` on newer hosts, `sequences` on older ones.
py::Ref strip_collection(const py::Ref& editor);

// Sets the image settings' `media_type` where the host has one (5.x); the file format must be set
// after it, since on those hosts the media type limits the formats.
void set_media_type(const py::Ref& image_settings, const char* value);

// Makes a render of the scene show its 3D view: with the sequencer on, a scene that also holds
// video-editing strips would render those strips instead of the white model.
void render_3d_view(PyObject* scene);

// Retimes a movie strip whose clip runs at another frame rate than `out_fps` to play at its real
// speed; returns the strip's length in output frames afterwards.
long long retime(const py::Ref& strips, const py::Ref& strip, long long src_frames, double out_fps);

// The counter-clockwise quarter turns the module must give a movie strip whose file asks for
// `file.quarter_turns` and whose picture the host reports as `shown_w` x `shown_h`: none where
// the host turns movies by their display rotation itself, the file's where it does not.
int turns_left_to_module(PyObject* m, const tavro::core::VideoDisplay& file, long long shown_w,
                         long long shown_h);

// Scales (and turns by `quarter_turns` counter-clockwise) a movie strip whose picture the host
// reports as `stored_w` x `stored_h`, so that the whole picture fills a `width` x `height`
// frame, with the best resampling filter the host offers; a picture that already has the
// frame's size is left as it is. A new strip is placed at its own pixel size, centred,
// whatever the frame's size.
void fit_strip(const py::Ref& strip, long long stored_w, long long stored_h, long long width,
               long long height, int quarter_turns);

// How a host's FFmpeg output that says nothing of its colours (before 4.4) made its YUV: the
// RGB picture (BT.709 primaries and transfer) through the BT.601 matrix, limited range. Later
// hosts tag their files BT.709 themselves; a file's own colr box decides which it is.
inline constexpr tavro::core::Nclx kUntaggedVideoColours{1, 1, 6, false};

}  // namespace render::caps
