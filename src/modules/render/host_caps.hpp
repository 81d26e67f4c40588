// Everything this module knows about how the Blender versions it runs in differ, in one place.
// The rest of the module asks these functions and never tests a host's version or probes an
// attribute itself, so a host that renames one more thing is a change to host_caps.cpp alone
// (with the recording fake host of the Python tests modelling that version). The scene guard's
// table (guard.cpp) marks the settings it backs up only where the host has them.
#pragma once

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

// Whether the host shows a movie turned by its container's display rotation by itself, and
// reports the turned size (4.2 and later). Where it does not, the module turns the strip.
bool turns_movies(PyObject* m);

// Scales (and turns by `quarter_turns` counter-clockwise) a movie strip whose picture the host
// reports as `stored_w` x `stored_h`, so that the whole picture fills a `width` x `height`
// frame, with the best resampling filter the host offers; a picture that already has the
// frame's size is left as it is. A new strip is placed at its own pixel size, centred,
// whatever the frame's size.
void fit_strip(const py::Ref& strip, long long stored_w, long long stored_h, long long width,
               long long height, int quarter_turns);

}  // namespace render::caps
