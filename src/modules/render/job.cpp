// Renders set up first and run later: the synchronous run of the render functions, and the job
// object the send operator hands to the host's render job. Both take the set-up back and check
// the file the same way.
#include "host_caps.hpp"
#include "render.hpp"

namespace render {
namespace {

struct GuardStep : Undo {
  SceneBackup backup;
  explicit GuardStep(SceneBackup b) : backup(std::move(b)) {}
  void run(PyObject*) override { backup.restore(); }
};

void run_steps(PyObject* m, std::vector<std::unique_ptr<Undo>>& steps, size_t n) {
  if (n == 0) return;
  py::with_clean_up([&] { steps[n - 1]->run(m); }, [&] { run_steps(m, steps, n - 1); });
}

}  // namespace

void Staged::take_back(PyObject* m) {
  std::vector<std::unique_ptr<Undo>> steps = std::move(undo);
  undo.clear();
  run_steps(m, steps, steps.size());
}

py::Ref Staged::produced(PyObject* m) const {
  py::Ref path = resolve_ffmpeg_output(m, output->path());
  const Media& v = output->media();
  finish_mp4(m, path, v.width, v.height, *v.frames);
  return py::tuple(path, meta);
}

Staged stage(PyObject* m, const std::function<void(Staged&)>& setup) {
  Staged staged;
  try {
    setup(staged);
  } catch (...) {
    // The set-up's own error is what the caller gets, even when taking it back fails too.
    try {
      staged.take_back(m);
    } catch (py::Error&) {
    }
    throw;
  }
  return staged;
}

void guard_scene(Staged& staged, PyObject* scene) {
  staged.undo.push_back(std::make_unique<GuardStep>(SceneBackup::take(scene)));
}

void set_up_white_video(PyObject* m, Staged& staged, PyObject* scene, const py::Ref& camera,
                        long long first, long long last) {
  guard_scene(staged, scene);
  apply_workbench(m, scene, staged.output->media().width, staged.output->media().height);
  apply_video_output(m, scene, staged.output->path());
  py::set_attr(scene, "camera", camera);
  caps::render_3d_view(scene);
  py::set_attr(scene, "frame_start", py::integer(first));
  py::set_attr(scene, "frame_end", py::integer(last));
}

py::Ref run_now(PyObject* m, Staged staged) {
  // The render's own error is what the caller gets, even when taking back fails too.
  py::with_clean_up([&] { run_render(m, staged.render_kwargs, *staged.output); },
                    [&] { staged.take_back(m); });
  return staged.produced(m);
}

// ---- The job object --------------------------------------------------------------------------

namespace {

Staged& staged_of(PyObject* self) { return py::native<Staged>(self); }

py::Ref job_finish(PyObject* self, const py::Params&) {
  PyObject* m = py::module_of_instance(self);
  Staged& s = staged_of(self);
  s.take_back(m);
  return s.produced(m);
}

// A render stopped early leaves the frames done as a whole file, or nothing when it stopped
// before the first; anything else is a write that failed (a full disk), not a stop.
py::Ref job_stop(PyObject* self, const py::Params&) {
  PyObject* m = py::module_of_instance(self);
  Staged& s = staged_of(self);
  s.take_back(m);
  py::Ref path;
  try {
    path = resolve_ffmpeg_output(m, s.output->path());
  } catch (py::Error& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    return py::none();
  }
  if (!whole_mp4(path, s.output->media().width, s.output->media().height))
    py::raise(PyExc_RuntimeError, write_failure_text(m, s.output->path()));
  return py::none();
}

py::Ref job_abandon(PyObject* self, const py::Params&) {
  staged_of(self).take_back(py::module_of_instance(self));
  return py::none();
}

py::Ref job_scene(PyObject* self) { return staged_of(self).scene; }
py::Ref job_kwargs(PyObject* self) { return py::dict_of(staged_of(self).render_kwargs.get()); }
py::Ref job_frames(PyObject* self) { return py::integer(*staged_of(self).output->media().frames); }

PyMethodDef kJobMethods[] = {
    py::method<"finish", "", "Take the set-up back, then the file found and checked: (path, meta).",
               job_finish>(),
    py::method<"stop", "",
               "Take the set-up back after a stopped render; RuntimeError when what it left is "
               "not a stop but a failed write.",
               job_stop>(),
    py::method<"abandon", "", "Take the set-up back; the file is not looked at.", job_abandon>(),
    py::end_of_table(),
};

PyGetSetDef kJobFields[] = {
    {"scene", py::getter<job_scene>, nullptr, "The scene the host renders.", nullptr},
    {"render_kwargs", py::getter<job_kwargs>, nullptr, "Keywords of bpy.ops.render.render.",
     nullptr},
    {"frames", py::getter<job_frames>, nullptr, "The frames the render writes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

py::Ref make_job_type(PyObject* m) {
  return py::new_type(m, py::native_type<Staged>("tavro_blender_uploader.render.RenderJob",
                                                 "A render set up to run as the host's render "
                                                 "job; take it back with finish, stop or abandon.",
                                                 kJobMethods, kJobFields));
}

py::Ref job_of(PyObject* m, Staged staged) {
  return py::make_instance<Staged>(py::state<Types>(m).job, std::move(staged));
}

}  // namespace render
