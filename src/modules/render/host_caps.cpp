#include "host_caps.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "render.hpp"

namespace render::caps {
namespace {

// Version boundaries (major, minor), each tested in the hosts on both sides of it.
// The first host that turns movies by their display rotation itself (4.3 does not, 4.4 does).
// Asked only where what the host reports cannot tell (see turns_left_to_module).
constexpr long long kTurnsMoviesSince[] = {4, 4};

bool at_least(PyObject* m, const long long (&since)[2]) {
  py::Ref version = py::attr(py::attr(host(m), "app"), "version");
  for (Py_ssize_t i = 0; i < 2; ++i) {
    long long part = py::to_long(py::item(version, i).get());
    if (part != since[i]) return part > since[i];
  }
  return true;
}

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

// Sets the strip transform's resampling filter; false where the host does not offer it (the
// transform of 3.x has nearest and bilinear only, and rejects other names with a TypeError).
bool set_filter(const py::Ref& transform, const char* name) {
  if (!py::has_attr(transform.get(), "filter")) return false;
  try {
    py::set_attr(transform, "filter", py::str(name));
    return true;
  } catch (py::Error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
  }
  return false;
}

long long strip_length(const py::Ref& strip) {
  return py::integer_arg(py::attr(strip, "frame_final_duration").get(), "frame_final_duration");
}

}  // namespace

py::Ref strip_collection(const py::Ref& editor) {
  py::Ref strips = py::attr_or_null(editor.get(), "strips");
  return strips ? strips : py::attr(editor, "sequences");
}

void set_media_type(const py::Ref& image_settings, const char* value) {
  if (py::has_attr(image_settings.get(), "media_type"))
    py::set_attr(image_settings, "media_type", py::str(value));
}

void render_3d_view(PyObject* scene) {
  py::Ref r = py::attr(scene, "render");
  if (py::has_attr(r.get(), "use_sequencer")) py::set_attr(r, "use_sequencer", py::boolean(false));
}

// The host's movie strip plays one source frame per scene frame, so a clip whose frame rate is
// not the output's would play too slow or too fast. Retime it with what the host offers:
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
    return strip_length(strip);
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
  return strip_length(strip);
}

int turns_left_to_module(PyObject* m, const tavro::core::VideoDisplay& file, long long shown_w,
                         long long shown_h) {
  const int turns = file.quarter_turns;
  if (turns == 0) return 0;
  const long long stored_w = file.width, stored_h = file.height;
  // A host that turns a movie reports the turned picture's size; one that does not, the stored
  // one. A half turn or a square picture looks the same either way: there the version decides.
  if (turns % 2 != 0 && stored_w > 0 && stored_h > 0 && stored_w != stored_h) {
    if (shown_w == stored_h && shown_h == stored_w) return 0;
    if (shown_w == stored_w && shown_h == stored_h) return turns;
  }
  return at_least(m, kTurnsMoviesSince) ? 0 : turns;
}

void fit_strip(const py::Ref& strip, long long stored_w, long long stored_h, long long width,
               long long height, int quarter_turns) {
  // The transform scales the stored picture first and turns it after, so a quarter turn
  // maps the frame's height onto the picture's width.
  const bool sideways = quarter_turns % 2 != 0;
  const long long across = sideways ? height : width, up = sideways ? width : height;
  const bool same_size = across == stored_w && up == stored_h;
  // Shown pixel for pixel: any transform would resample (blur) the whole picture.
  if (same_size && quarter_turns == 0) return;
  py::Ref transform = py::attr(strip, "transform");
  // The best filter the host offers for the direction: area averaging to shrink, bicubic to
  // enlarge. Hosts that offer them (4.2 and later) came with a transform that maps pixel
  // centres onto pixel centres and covers the frame's edges.
  const bool shrinking = across <= stored_w && up <= stored_h;
  const bool exact = set_filter(transform, shrinking ? "BOX" : "CUBIC_MITCHELL");
  if (exact && same_size) set_filter(transform, "NEAREST");  // a quarter turn moves whole pixels
  double sx = static_cast<double>(across) / stored_w, sy = static_cast<double>(up) / stored_h;
  if (!exact && (!shrinking || same_size)) {
    // The older transform leaves what lies past the edge pixels' centres transparent (a dark
    // line once encoded): an enlarged or only turned picture is scaled so that those centres
    // meet the frame's, a sliver further out than the host's single-precision arithmetic errs.
    constexpr double kMargin = 1.0 / 64;  // frame pixels
    if (stored_w > 1) sx = (static_cast<double>(across - 1) + kMargin) / (stored_w - 1);
    if (stored_h > 1) sy = (static_cast<double>(up - 1) + kMargin) / (stored_h - 1);
  }
  if (!same_size || !exact) {
    py::set_attr(transform, "scale_x", py::real(sx));
    py::set_attr(transform, "scale_y", py::real(sy));
  }
  if (!exact) {
    // The older transform maps pixel corners as if they were centres, and centres the picture
    // by a whole-pixel (truncated) shift: half a pixel off, turned and scaled with the picture.
    // The offset that puts every pixel centre where it belongs, in frame pixels:
    // the lost half of the centring shift, less half a pixel, plus the turned, scaled half pixel.
    auto lost_half = [](long long d) { return d / 2.0 - static_cast<double>(d / 2); };
    const double hx = 0.5 * sx, hy = 0.5 * sy;
    const double turned[4][2] = {{hx, hy}, {-hy, hx}, {-hx, -hy}, {hy, -hx}};
    const int k = ((quarter_turns % 4) + 4) % 4;
    py::set_attr(transform, "offset_x", py::real(lost_half(width - stored_w) - 0.5 + turned[k][0]));
    py::set_attr(transform, "offset_y",
                 py::real(lost_half(height - stored_h) - 0.5 + turned[k][1]));
  }
  if (quarter_turns != 0)
    py::set_attr(transform, "rotation", py::real(quarter_turns * std::numbers::pi / 2));
}

}  // namespace render::caps
