// Module `render`: output geometry, the scene guard, white-model renders and local video
// normalisation. Loads `config` from its own package; tolerates a missing host API, so its
// host-free functions work outside Blender.
#include "render.hpp"

namespace {

void exec_render(PyObject* m) {
  render::Types& t = py::state<render::Types>(m);
  t.guard = render::make_guard_type(m);
  py::add(m, "contextlib", py::import("contextlib"));
  py::add(m, "os", py::import("os"));
  py::add(m, "tempfile", py::import("tempfile"));
  py::add(m, "config", py::import_sibling(m, "config"));
  py::Ref bpy = py::import_or_null("bpy");
  py::add(m, "bpy", bpy ? bpy : py::none());
  py::add(m, "_scene_guard", t.guard);
}

PyMethodDef kFunctions[] = {
    py::function<"resolution_for", "long_edge, aspect_w, aspect_h",
                 "Even pixel size (width, height) for a long edge and an aspect ratio.",
                 render::resolution_for>(),
    py::function<"clamp_frame_range", "start, end, fps, max_seconds",
                 "(start, end, truncated): a forward range cut to max_seconds.",
                 render::clamp_frame_range>(),
    py::function<"is_supported_video", "path",
                 "Whether the path's extension is an accepted video extension.",
                 render::is_supported_video>(),
    py::function<"_tmp_path", "suffix",
                 "A new empty temporary file named lumo_stage_*<suffix>; its absolute path.",
                 render::tmp_path>(),
    py::function<"_apply_workbench", "scene, width, height",
                 "Workbench engine at width x height, 100 percent, opaque film.",
                 render::apply_workbench_fn>(),
    py::function<"_apply_video_output", "scene, path",
                 "H.264 in MPEG-4 at VIDEO_FPS, no audio, written to path.",
                 render::apply_video_output_fn>(),
    py::function<"_resolve_ffmpeg_output", "prefix",
                 "The newest file the FFmpeg output wrote for an output prefix.",
                 render::resolve_ffmpeg_output_fn>(),
    py::function<"render_snapshot", "scene, camera, long_edge, aspect_w, aspect_h",
                 "The current frame as a white-model PNG: (path, meta).",
                 render::render_snapshot>(),
    py::function<
        "render_animation", "scene, camera, long_edge, aspect_w, aspect_h, frame_start, frame_end",
        "A frame range as a white-model H.264 MP4, at most MAX_VIDEO_SECONDS: (path, meta).",
        render::render_animation>(),
    py::function<"transcode_local_video", "src, long_edge",
                 "A local clip re-encoded to the produced video format: (path, meta).",
                 render::transcode_local_video>(),
    py::end_of_table(),
};

}  // namespace

PY_MODULE(render, "White-model renders and video normalisation.", kFunctions, exec_render,
          render::Types)
