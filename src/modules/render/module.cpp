// Module `render`: output geometry, the scene guard, white-model renders and local video
// normalisation. Loads `config` from its own package; tolerates a missing host API, so its
// host-free functions work outside Blender.
#include "render.hpp"

namespace {

int exec_render(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "contextlib", py::import("contextlib"));
    py::add(m, "os", py::import("os"));
    py::add(m, "tempfile", py::import("tempfile"));
    py::add(m, "config", py::import_sibling(m, "config"));
    PyObject* bpy = PyImport_ImportModule("bpy");
    if (bpy == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) py::throw_pending();
      PyErr_Clear();
      bpy = Py_NewRef(Py_None);
    }
    py::add(m, "bpy", py::Ref::steal(bpy));
    py::add(m, "_scene_guard", render::make_guard_type(m));
    py::add(m, "_GUARDED_SETTINGS", render::guarded_settings());
  });
}

PyMethodDef kFunctions[] = {
    PY_FUNCTION("resolution_for", render::resolution_for,
                "resolution_for($module, /, long_edge, aspect_w, aspect_h)\n--\n\n"
                "Even pixel size (width, height) for a long edge and an aspect ratio."),
    PY_FUNCTION("clamp_frame_range", render::clamp_frame_range,
                "clamp_frame_range($module, /, start, end, fps, max_seconds)\n--\n\n"
                "(start, end, truncated): a forward range cut to max_seconds."),
    PY_FUNCTION("is_supported_video", render::is_supported_video,
                "is_supported_video($module, /, path)\n--\n\n"
                "Whether the path's extension is an accepted video extension."),
    PY_FUNCTION("_tmp_path", render::tmp_path,
                "_tmp_path($module, /, suffix)\n--\n\n"
                "A new empty temporary file named lumo_stage_*<suffix>; its absolute path."),
    PY_FUNCTION("_apply_workbench", render::apply_workbench_fn,
                "_apply_workbench($module, /, scene, width, height)\n--\n\n"
                "Workbench engine at width x height, 100 percent, opaque film."),
    PY_FUNCTION("_apply_video_output", render::apply_video_output_fn,
                "_apply_video_output($module, /, scene, path)\n--\n\n"
                "H.264 in MPEG-4 at VIDEO_FPS, no audio, written to path."),
    PY_FUNCTION("_resolve_ffmpeg_output", render::resolve_ffmpeg_output_fn,
                "_resolve_ffmpeg_output($module, /, prefix)\n--\n\n"
                "The newest file the FFmpeg output wrote for an output prefix."),
    PY_FUNCTION("render_snapshot", render::render_snapshot,
                "render_snapshot($module, /, scene, camera, long_edge, aspect_w, aspect_h)\n--\n\n"
                "The current frame as a white-model PNG: (path, meta)."),
    PY_FUNCTION(
        "render_animation", render::render_animation,
        "render_animation($module, /, scene, camera, long_edge, aspect_w, aspect_h, "
        "frame_start, frame_end)\n--\n\n"
        "A frame range as a white-model H.264 MP4, at most MAX_VIDEO_SECONDS: (path, meta)."),
    PY_FUNCTION("transcode_local_video", render::transcode_local_video,
                "transcode_local_video($module, /, src, long_edge)\n--\n\n"
                "A local clip re-encoded to the produced video format: (path, meta)."),
    PY_FUNCTIONS_END,
};

}  // namespace

PY_MODULE(render, "White-model renders and video normalisation.", kFunctions, exec_render)
