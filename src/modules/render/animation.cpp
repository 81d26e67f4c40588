// Animation render: a frame range as a white-model H.264 video, cut to the maximum duration.
#include "core/geometry.hpp"
#include "host_caps.hpp"
#include "render.hpp"

namespace render {

py::Ref render_animation(PyObject* m, const py::Params& p) {
  long long long_edge = p.integer(2), aspect_w = p.integer(3), aspect_h = p.integer(4);
  long long frame_start = p.integer(5), frame_end = p.integer(6);
  PyObject* scene = p[0];
  PyObject* camera = p[1];
  auto [width, height] = checked_resolution(long_edge, aspect_w, aspect_h);
  long long fps = py::integer_arg(config_value(m, "VIDEO_FPS").get(), "VIDEO_FPS");
  long long max_seconds =
      py::integer_arg(config_value(m, "MAX_VIDEO_SECONDS").get(), "MAX_VIDEO_SECONDS");
  auto range = tavro::core::clamp_frame_range(frame_start, frame_end, fps, max_seconds);
  host(m);
  long long frames = range.end - range.start + 1;
  RenderOutput output(m, make_tmp_path(m, py::str("")), {width, height, frames});
  const py::Ref& out_prefix = output.path();

  with_scene_guard(scene, [&] {
    apply_workbench(m, scene, width, height);
    apply_video_output(m, scene, out_prefix);
    py::set_attr(scene, "camera", py::Ref::borrow(camera));
    caps::render_3d_view(scene);
    py::set_attr(scene, "frame_start", py::integer(range.start));
    py::set_attr(scene, "frame_end", py::integer(range.end));
    run_render(m, py::kwargs({{"animation", py::boolean(true)}}), output);
  });

  py::Ref path = resolve_ffmpeg_output(m, out_prefix);
  finish_mp4(m, path, width, height, frames);
  py::Ref meta = video_meta(m, width, height, frames, range.truncated);
  py::set_item(meta, "camera", camera_name(camera));
  return py::tuple(path, meta);
}

PY_EXPORT(
    render,
    py::function<
        "render_animation", "scene, camera, long_edge, aspect_w, aspect_h, frame_start, frame_end",
        "A frame range as a white-model H.264 MP4, at most MAX_VIDEO_SECONDS: (path, meta).",
        render_animation>());

}  // namespace render
