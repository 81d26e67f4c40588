// Local video normalisation: a clip from disk re-encoded by the host's sequencer and FFmpeg
// output through a temporary scene whose only content is the clip. The user's scenes are never
// touched; the temporary scene is removed on every path.
#include <algorithm>
#include <cerrno>
#include <cmath>

#include "core/geometry.hpp"
#include "render.hpp"

namespace render {
namespace {

// new_effect's input keyword is "input1" on newer hosts and "seq1" on older ones.
py::Ref add_speed_effect(const py::Ref& strips, const py::Ref& strip) {
  py::Ref new_effect = py::attr(strips, "new_effect");
  auto kw = [&](const char* input) {
    return py::kwargs({{"name", py::str("speed")},
                       {"type", py::str("SPEED")},
                       {"channel", py::integer(2)},
                       {"frame_start", py::integer(1)},
                       {input, strip}});
  };
  try {
    return py::call_tuple(new_effect.get(), py::tuple(), kw("input1"));
  } catch (py::Error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
  }
  return py::call_tuple(new_effect.get(), py::tuple(), kw("seq1"));
}

// The host's movie strip plays one source frame per scene frame, so a clip whose frame rate is
// not the output's would play too slow or too fast. Retime it to its real speed with what the
// host offers and return the strip's length in output frames afterwards:
// - the movie strip's own speed_factor (3.x): the host shortens the strip itself;
// - else a speed effect over the strip (4.x and later, whose retiming keys cannot be created
//   from a script), with the strip's length set to the retimed one;
// - else the plain one-to-one playback.
long long retime(const py::Ref& strips, const py::Ref& strip, long long src_frames,
                 double out_fps) {
  py::Ref fps_attr = py::attr_or_null(strip.get(), "fps");
  double src_fps = fps_attr ? py::to_double(fps_attr.get()) : 0.0;
  if (!(src_fps > 0) || !(out_fps > 0) || std::fabs(src_fps - out_fps) < 1e-6) return src_frames;
  double factor = src_fps / out_fps;  // source frames per output frame
  if (py::has_attr(strip.get(), "speed_factor")) {
    py::set_attr(strip, "speed_factor", py::real(factor));
    return py::integer_arg(py::attr(strip, "frame_final_duration").get(), "frame_final_duration");
  }
  if (!py::has_attr(strips.get(), "new_effect")) return src_frames;
  py::Ref effect = add_speed_effect(strips, strip);
  py::set_attr(effect, "speed_control", py::str("MULTIPLY"));
  py::set_attr(effect, "speed_factor", py::real(factor));
  // Output frame n shows source frame n * factor; the strip is cut or extended to end where
  // that passes the clip's end, and the effect, which follows its input, with it.
  auto retimed =
      static_cast<long long>(std::floor(static_cast<double>(src_frames) / factor + 1e-9));
  py::set_attr(strip, "frame_final_duration", py::integer(std::max(retimed, 1LL)));
  return py::integer_arg(py::attr(strip, "frame_final_duration").get(), "frame_final_duration");
}

long long size_of(const py::Ref& element, const char* name) {
  py::Ref v = py::attr_or_null(element.get(), name);
  if (!v || v.is_none()) return 0;
  return py::integer_arg(v.get(), name);
}

py::Ref transcode_in(PyObject* m, const py::Ref& scene, const py::Ref& src, long long long_edge) {
  const std::string source_name(tavro::core::basename_of(py::utf8(src.get())));
  py::call_method(scene.get(), "sequence_editor_create");
  py::Ref editor = py::attr(scene, "sequence_editor");
  py::Ref strips = py::attr_or_null(editor.get(), "strips");
  if (!strips) strips = py::attr(editor, "sequences");
  py::Ref strip = py::call_tuple(py::attr(strips, "new_movie").get(), py::tuple(),
                                 py::kwargs({{"name", py::str("src")},
                                             {"filepath", src},
                                             {"channel", py::integer(1)},
                                             {"frame_start", py::integer(1)}}));

  long long src_frames =
      py::integer_arg(py::attr(strip, "frame_final_duration").get(), "frame_final_duration");
  py::Ref video_fps = config_value(m, "VIDEO_FPS");
  src_frames = retime(strips, strip, src_frames, py::to_double(video_fps.get()));
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
  if (src_w <= 0 || src_h <= 0) src_w = 16, src_h = 9;
  auto [width, height] = checked_resolution(long_edge, src_w, src_h);
  py::Ref out_prefix = make_tmp_path(m, py::str(""));

  py::set_attr(scene, "frame_start", py::integer(1));
  py::set_attr(scene, "frame_end", py::integer(std::max(frames, 1LL)));
  py::Ref r = py::attr(scene, "render");
  py::set_attr(r, "resolution_x", py::integer(width));
  py::set_attr(r, "resolution_y", py::integer(height));
  py::set_attr(r, "resolution_percentage", py::integer(100));
  // A new scene's view transform (Filmic, AgX) is meant for 3D renders and would shift every
  // colour of the clip; the clip's own colours pass through "Standard" unchanged.
  if (py::Ref view = py::attr_or_null(scene.get(), "view_settings")) {
    py::set_attr(view, "view_transform", py::str("Standard"));
  }
  apply_video_output(m, scene.get(), out_prefix);
  run_render(m, py::kwargs({{"animation", py::boolean(true)}, {"scene", py::attr(scene, "name")}}));

  py::Ref path = resolve_ffmpeg_output(m, out_prefix);
  py::Ref meta = video_meta(m, width, height, frames, src_frames > max_frames);
  py::set_item(meta, "source", py::str(source_name));
  return py::tuple(path, meta);
}

}  // namespace

py::Ref transcode_local_video(PyObject* m, const py::Params& p) {
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
  py::Ref scene = py::call_method(scenes.get(), "new", "LUMO_Transcode");
  py::Ref result;
  try {
    result = transcode_in(m, scene, src, long_edge);
  } catch (...) {
    // Removal runs on every failure, an interruption included; its own error replaces.
    py::call_method(scenes.get(), "remove", scene);
    throw;
  }
  py::call_method(scenes.get(), "remove", scene);
  return result;
}

PY_EXPORT(render,
          py::function<"transcode_local_video", "src, long_edge",
                       "A local clip re-encoded to the produced video format: (path, meta).",
                       transcode_local_video>());

}  // namespace render
