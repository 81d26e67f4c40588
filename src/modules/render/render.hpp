// Module `render`: what its files share. Each file holds one concern and declares the Python
// functions it defines with PY_EXPORT beside their bodies.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "py/py.hpp"

namespace render {

// The scene guard's type, for Python code (guard.cpp).
py::Ref make_guard_type(PyObject* m);
// The type of a render set up to run as the host's render job (job.cpp).
py::Ref make_job_type(PyObject* m);
// The module's own types, kept in its state (module attributes can be rebound by any code).
struct Types {
  py::Ref guard, job;
  auto refs() { return std::tie(guard, job); }
};

// Shared helpers for the host parts.
// resolution_for's rule with its error, for callers that already hold integers.
std::pair<long long, long long> checked_resolution(long long long_edge, long long aspect_w,
                                                   long long aspect_h);
// A new empty file "lumo_stage_<random><suffix>" in the temporary directory; its absolute path.
py::Ref make_tmp_path(PyObject* m, const py::Ref& suffix);
// Whether the path's extension (lower-cased the way Python does) is in config.LOCAL_VIDEO_EXTS.
bool supported_video(PyObject* m, const std::string& path);

// The host API as bound now; RuntimeError when the module was loaded outside Blender.
py::Ref host(PyObject* m);
// A name of `config`, read at the moment of use.
py::Ref config_value(PyObject* m, const char* name);
// What a render is to write: a PNG of this size, or with `frames` an MP4 of this size and frame
// count.
struct Media {
  long long width, height;
  std::optional<long long> frames;
};

// The placeholder a render writes to (a still's file, or a video's output prefix that the host
// names the video after), watched from its making so that afterwards what the host wrote there
// can be told from what it never touched (written.cpp).
class RenderOutput {
 public:
  RenderOutput(PyObject* m, py::Ref placeholder, Media media);
  const py::Ref& path() const { return path_; }
  const Media& media() const { return media_; }
  // Whether the host wrote to the placeholder itself: it still exists and its content, time or
  // identity changed.
  bool placeholder_written() const;
  // What a failed render call left shows a failed write: the placeholder gone, or a file the
  // host wrote there (the placeholder or one named after it) empty or cut short. A host that
  // refuses to render may have begun a video already and closed it whole, without frames.
  bool shows_write_fault() const;

 private:
  py::Ref stamp() const;  // (inode, size, modification time) of the placeholder
  PyObject* m_;
  py::Ref path_, stamp_;
  Media media_;
};

// bpy.ops.render.render(**kw) writing to `output`; its result is not examined. The host's error
// leaves as it was raised, unless it names a full disk or an oversized file or the output shows
// a failed write: then a short RuntimeError naming the output's folder, caused by the host's.
void run_render(PyObject* m, const py::Ref& kw, const RenderOutput& output);
// That error's text: the host could not write into the folder of `output` (a path).
py::Ref write_failure_text(PyObject* m, const py::Ref& output);
// Whether a regular file with at least one byte stands at `path` (os.path, read at use).
bool has_content(PyObject* m, const py::Ref& path);
// The camera's `name`, or "" for an object without one.
py::Ref camera_name(PyObject* camera);
// The leading members of a video's meta, in order: width, height, fps, frames, duration
// (round(frames / VIDEO_FPS, 3), with Python's own round) and truncated.
py::Ref video_meta(PyObject* m, long long width, long long height, long long frames,
                   bool truncated);

// verify.cpp: RuntimeError naming the file's folder unless the produced file is whole and of
// this size (and frame count).
void verify_png(PyObject* m, const py::Ref& path, long long width, long long height);
// Whether the file at `path` ends short of what it began, as a write that stopped leaves it:
// empty, or its structure running past its end. A file that ends where its structure does is
// not, even without the index or frames `media` asks for.
bool ends_short(const py::Ref& path, const Media& media);
// A produced video made ready to hand over: tagged with its colours where the host left it
// untagged, then checked as above for its size and frame count.
void finish_mp4(PyObject* m, const py::Ref& path, long long width, long long height,
                long long frames);
// Whether the file is a whole MP4 of this size, of any frame count (a render stopped early).
bool whole_mp4(const py::Ref& path, long long width, long long height);
// RuntimeError when a source video's last box runs past its end (a download cut short).
void raise_if_cut_short(const py::Ref& src, const std::string& source_name);

void apply_workbench(PyObject* m, PyObject* scene, long long width, long long height);
void apply_video_output(PyObject* m, PyObject* scene, const py::Ref& path);
// The file the host's FFmpeg output wrote for the output prefix (see output.cpp).
py::Ref resolve_ffmpeg_output(PyObject* m, const py::Ref& prefix);
// The paths of the files in the prefix's folder whose names begin with the prefix's name, the
// placeholder itself left out, in listing order.
py::Ref named_after(PyObject* m, const py::Ref& prefix);

// The settings a render may change (the table in guard.cpp), read at entry and written back in
// the table's order.
class SceneBackup {
 public:
  static constexpr std::size_t kCount = 24;
  static SceneBackup take(PyObject* scene);
  // Writes every setting back; the first write the host rejects ends the restore and throws.
  void restore() const;
  int traverse(visitproc visit, void* arg) const;
  void clear();

 private:
  // The object that holds setting i: the scene, or its render, image or FFmpeg settings.
  PyObject* owner(std::size_t i, const py::Ref& image) const;
  py::Ref scene_, render_, ffmpeg_;     // as obtained at entry; ffmpeg_ empty where there is none
  std::array<py::Ref, kCount> values_;  // empty for a setting the host does not have
};
// The table's settings in restore order, as "owner.name" labels.
py::Ref guarded_settings();

// Runs `body` inside the scene guard: the scene is restored on every exit, and an error of the
// block leaves after the restore unless a restore step fails, whose error then replaces it.
template <class Body>
void with_scene_guard(PyObject* scene, Body&& body) {
  SceneBackup backup = SceneBackup::take(scene);
  try {
    body();
  } catch (...) {
    backup.restore();
    throw;
  }
  backup.restore();
}

// ---- Renders set up first and run later (job.cpp) ---------------------------------------------
// A video render is set up (the scene switched to the output, a camera or a scene made), run by
// the host (at once, or as the interface's render job while the window stays live), and then
// taken back and its file checked. The set-up and the check are the same for both runs.

// One change a set-up made, and how to take it back.
class Undo {
 public:
  virtual ~Undo() = default;
  virtual void run(PyObject* m) = 0;
};

struct Staged {
  py::Ref scene;          // the scene the host renders
  py::Ref render_kwargs;  // bpy.ops.render.render's keywords
  // The FFmpeg output's prefix, watched from its making, and the video's size and frame count.
  std::optional<RenderOutput> output;
  py::Ref meta;  // returned with the file once it is checked
  std::vector<std::unique_ptr<Undo>> undo;

  // Takes every change back, newest first. Every step runs even when one fails; the first
  // failure leaves at the end. A second call finds nothing left to do.
  void take_back(PyObject* m);
  // The file the render wrote, found and checked whole: (path, meta).
  py::Ref produced(PyObject* m) const;
};

// Sets up a render; what `setup` changed is taken back when it fails (its error leaves).
Staged stage(PyObject* m, const std::function<void(Staged&)>& setup);
// The scene guard as a step of a set-up: the settings backed up now, written back on undo.
void guard_scene(Staged& staged, PyObject* scene);
// A white-model video of `scene` through `camera`, frames first..last, into the set-up's output;
// the scene guarded first.
void set_up_white_video(PyObject* m, Staged& staged, PyObject* scene, const py::Ref& camera,
                        long long first, long long last);
// The render run at once: the host's render call, the set-up taken back, the file checked.
py::Ref run_now(PyObject* m, Staged staged);
// The set-up handed to Python as a job object, for a run as the host's render job.
py::Ref job_of(PyObject* m, Staged staged);

}  // namespace render
