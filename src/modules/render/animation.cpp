// Animation render: a frame range as a white-model H.264 video, cut to the maximum duration.
#include "core/geometry.hpp"
#include "render.hpp"

namespace render {

namespace {

Staged stage_animation(PyObject* m, const py::Params& p) {
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

  return stage(m, [&](Staged& s) {
    s.scene = py::Ref::borrow(scene);
    s.output = output;
    s.meta = video_meta(m, width, height, frames, range.truncated);
    py::set_item(s.meta, "camera", camera_name(camera));
    s.render_kwargs = py::kwargs({{"animation", py::boolean(true)}});
    set_up_white_video(m, s, scene, py::Ref::borrow(camera), range.start, range.end);
  });
}

}  // namespace

py::Ref render_animation(PyObject* m, const py::Params& p) {
  return run_now(m, stage_animation(m, p));
}

py::Ref stage_animation_fn(PyObject* m, const py::Params& p) {
  return job_of(m, stage_animation(m, p));
}

PY_EXPORT(
    render,
    py::function<
        "render_animation", "scene, camera, long_edge, aspect_w, aspect_h, frame_start, frame_end",
        "A frame range as a white-model H.264 MP4, at most MAX_VIDEO_SECONDS: (path, meta).",
        render_animation>());

PY_EXPORT(render,
          py::function<"stage_animation",
                       "scene, camera, long_edge, aspect_w, aspect_h, frame_start, frame_end",
                       "render_animation set up to run as the host's render job: a RenderJob.",
                       stage_animation_fn>());

}  // namespace render
