// Local video normalisation: a clip from disk re-encoded by the host's sequencer and FFmpeg
// output through a temporary scene whose only content is the clip. The user's scenes are never
// touched; the temporary scene is removed on every path.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

#include "core/geometry.hpp"
#include "core/mp4_rotation.hpp"
#include "host_caps.hpp"
#include "render.hpp"

namespace render {
namespace {

long long size_of(const py::Ref& element, const char* name) {
  py::Ref v = py::attr_or_null(element.get(), name);
  if (!v || v.is_none()) return 0;
  return py::integer_arg(v.get(), name);
}

// The temporary scene, removed when the set-up is taken back.
struct TempScene : Undo {
  py::Ref scenes, scene;
  void run(PyObject*) override {
    if (scene) py::call_method(scenes.get(), "remove", std::exchange(scene, py::Ref()));
  }
};

void transcode_in(PyObject* m, Staged& s, const py::Ref& scene, const py::Ref& src,
                  long long long_edge) {
  const std::string source_name(tavro::core::basename_of(py::utf8(src.get())));
  py::call_method(scene.get(), "sequence_editor_create");
  py::Ref editor = py::attr(scene, "sequence_editor");
  py::Ref strips = caps::strip_collection(editor);
  py::Ref strip = py::call_tuple(py::attr(strips, "new_movie").get(), py::tuple(),
                                 py::kwargs({{"name", py::str("src")},
                                             {"filepath", src},
                                             {"channel", py::integer(1)},
                                             {"frame_start", py::integer(1)}}));

  long long src_frames =
      py::integer_arg(py::attr(strip, "frame_final_duration").get(), "frame_final_duration");
  py::Ref video_fps = config_value(m, "VIDEO_FPS");
  src_frames = caps::retime(strips, strip, src_frames, py::to_double(video_fps.get()));
  long long max_frames =
      py::integer_arg(config_value(m, "MAX_VIDEO_SECONDS").get(), "MAX_VIDEO_SECONDS") *
      py::integer_arg(video_fps.get(), "VIDEO_FPS");
  long long frames = std::min(src_frames, max_frames);

  py::Ref element = py::item(py::attr(strip, "elements"), 0);
  long long src_w = size_of(element, "orig_width"), src_h = size_of(element, "orig_height");
  // The host does not raise for a file it cannot decode: it adds a one-frame strip with no
  // frame rate and no size, which would render as a black frame. Report it instead.
  py::Ref src_fps = py::attr_or_null(strip.get(), "fps");
  if (src_fps && py::to_double(src_fps.get()) <= 0 && src_w <= 0 && src_h <= 0) {
    py::raise(PyExc_RuntimeError, py::format("无法读取视频文件：{}", source_name));
  }
  // A partial download plays up to its cut and then repeats its last picture to the end.
  raise_if_cut_short(src, source_name);
  // Where the host shows the picture as stored, a phone clip's display rotation is the
  // module's to apply; the output then has the turned picture's shape.
  const bool readable = src_w > 0 && src_h > 0;
  const int turns =
      readable ? caps::turns_left_to_module(
                     m, tavro::core::video_display_of_file(py::utf8(src.get())), src_w, src_h)
               : 0;
  long long shown_w = readable ? src_w : 16, shown_h = readable ? src_h : 9;
  if (turns % 2 != 0) std::swap(shown_w, shown_h);
  auto [width, height] = checked_resolution(long_edge, shown_w, shown_h);
  if (readable) caps::fit_strip(strip, src_w, src_h, width, height, turns);
  const long long rendered = std::max(frames, 1LL);  // an empty clip still renders one frame
  RenderOutput output(m, make_tmp_path(m, py::str("")), {width, height, rendered});

  py::set_attr(scene, "frame_start", py::integer(1));
  py::set_attr(scene, "frame_end", py::integer(rendered));
  py::Ref r = py::attr(scene, "render");
  py::set_attr(r, "resolution_x", py::integer(width));
  py::set_attr(r, "resolution_y", py::integer(height));
  py::set_attr(r, "resolution_percentage", py::integer(100));
  // Hosts that keep a deep-colour clip in floating point dither it on the way back to 8 bits:
  // a fifth of the render's time for noise the encoder removes again at this quality.
  py::set_attr(r, "dither_intensity", py::real(0.0));
  // A new scene's view transform (Filmic, AgX) is meant for 3D renders and would shift every
  // colour of the clip; the clip's own colours pass through "Standard" unchanged.
  if (py::Ref view = py::attr_or_null(scene.get(), "view_settings")) {
    py::set_attr(view, "view_transform", py::str("Standard"));
  }
  apply_video_output(m, scene.get(), output.path());
  s.render_kwargs =
      py::kwargs({{"animation", py::boolean(true)}, {"scene", py::attr(scene, "name")}});
  s.output = output;
  s.meta = video_meta(m, width, height, frames, src_frames > max_frames);
  py::set_item(s.meta, "source", py::str(source_name));
}

Staged stage_local_video(PyObject* m, const py::Params& p) {
  long long long_edge = p.integer(1);
  py::Ref src = py::Ref::borrow(p.str_object(0));
  std::string src_text = py::utf8(src.get());
  if (!supported_video(m, src_text)) {
    py::raise(PyExc_ValueError,
              py::format("不支持的视频格式：{}", tavro::core::extension_of(src_text)));
  }
  py::Ref os = py::global(m, "os");
  if (!py::truthy(py::call_method(py::attr(os, "path").get(), "exists", src).get())) {
    py::Ref text = py::call_method(os.get(), "strerror", ENOENT);
    py::raise_with(PyExc_FileNotFoundError, py::tuple(ENOENT, text, src));
  }

  py::Ref scenes = py::attr(py::attr(host(m), "data"), "scenes");
  return stage(m, [&](Staged& s) {
    auto temp = std::make_unique<TempScene>();
    temp->scenes = scenes;
    temp->scene = py::call_method(scenes.get(), "new", "LUMO_Transcode");
    s.scene = temp->scene;
    s.undo.push_back(std::move(temp));
    transcode_in(m, s, s.scene, src, long_edge);
  });
}

}  // namespace

py::Ref transcode_local_video(PyObject* m, const py::Params& p) {
  return run_now(m, stage_local_video(m, p));
}

py::Ref stage_local_video_fn(PyObject* m, const py::Params& p) {
  return job_of(m, stage_local_video(m, p));
}

PY_EXPORT(render,
          py::function<"transcode_local_video", "src, long_edge",
                       "A local clip re-encoded to the produced video format: (path, meta).",
                       transcode_local_video>());

PY_EXPORT(render, py::function<"stage_local_video", "src, long_edge",
                               "transcode_local_video set up to run as the host's render job: a "
                               "RenderJob.",
                               stage_local_video_fn>());

}  // namespace render
