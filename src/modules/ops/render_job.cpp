// A send from the interface renders as the host's own render job, so the window stays live: the
// operator starts the job and waits for its end as a modal operator, and the send then goes on
// as a synchronous one does. The job's record (`_job`) holds the render job object of `render`,
// what was changed for the job's duration (the render display preference, the handlers) and
// what the handlers saw. The host calls the handlers on its render thread, so they only record;
// everything else runs on the interface thread, in the operator and in the panel's timer.
//
// However the job ends, everything is taken back: the job's end seen by the operator (done,
// stopped with Esc or the ✕, a failed write), the operator dropped by the host (another file
// opened, Blender quit; the host stops the job first), and the add-on disabled mid-render (the
// timer takes back once the render is over).
#include <algorithm>

#include "ops.hpp"

namespace ops {

using py::Ref;

namespace {

constexpr double kTickSeconds = 0.1;  // how often the operator and the panel look at the job

Ref record_of(PyObject* m) {
  Ref record = py::global(m, "_job");
  return record.is_none() ? Ref() : record;
}

Ref host_app(PyObject* m) { return py::attr(py::global(m, "bpy"), "app"); }

// Whether the host runs a render job; hosts before 3.3 cannot tell, and then `fallback`.
bool render_job_running(PyObject* m, bool fallback) {
  Ref is_running = py::attr_or_null(host_app(m), "is_job_running");
  if (!is_running) return fallback;
  return py::truthy(py::call(is_running, "RENDER"));
}

// The job has ended: the host's render job is over (its end handlers fire before that).
bool render_over(PyObject* m, const Ref& record) {
  return !render_job_running(m, py::lookup(record, "ended").is_none());
}

// ---- The handlers: they only record ---------------------------------------------------------

Ref on_write(PyObject* record, const py::Params&) {
  Ref written = py::lookup(record, "written") + py::integer(1);
  py::set_item(Ref::borrow(record), "written", written);
  return py::none();
}

Ref on_complete(PyObject* record, const py::Params&) {
  py::set_item(Ref::borrow(record), "ended", py::str("complete"));
  return py::none();
}

Ref on_cancel(PyObject* record, const py::Params&) {
  py::set_item(Ref::borrow(record), "ended", py::str("cancel"));
  return py::none();
}

PyMethodDef kOnWrite =
    py::function<"_on_write", "*args", "Counts a frame the render job wrote.", on_write>();
PyMethodDef kOnComplete =
    py::function<"_on_complete", "*args", "Records that the render job completed.", on_complete>();
PyMethodDef kOnCancel =
    py::function<"_on_cancel", "*args", "Records that the render job was stopped.", on_cancel>();

struct Handler {
  const char* list;
  PyMethodDef* def;
};
constexpr Handler kHandlers[] = {
    {"render_write", &kOnWrite}, {"render_complete", &kOnComplete}, {"render_cancel", &kOnCancel}};

// ---- Start and end ---------------------------------------------------------------------------

// The render's progress in every window's status bar, beside the host's own (whose percentage
// does not move for these renders); None gives the status bar back. Windows are looked up anew
// each time: a file opened meanwhile has replaced them.
void show_in_status_bar(PyObject* m, const Ref& text) {
  Ref wm = py::attr(py::attr(py::global(m, "bpy"), "context"), "window_manager");
  for (const Ref& window : py::iterate(py::attr(wm, "windows"))) {
    Ref workspace = py::attr_or_null(window, "workspace");
    if (workspace && py::has_attr(workspace.get(), "status_text_set"))
      py::call_method(workspace, "status_text_set", text);
  }
}

void show_progress(PyObject* m) {
  show_in_status_bar(m, py::format("{}  ·  按 Esc 停止渲染", render_job_text(m)));
}

// What the job changes for its duration besides the set-up: the scene that renders locks the
// interface (its guard, or the temporary scene's removal, takes that back), the render result
// shows in no window of its own (drawing one slows the render), and the handlers listen.
void begin(PyObject* m, const Ref& record, PyObject* context) {
  Ref render_settings = py::attr(py::attr(py::lookup(record, "job"), "scene"), "render");
  if (py::has_attr(render_settings.get(), "use_lock_interface"))
    py::set_attr(render_settings, "use_lock_interface", py::boolean(true));
  Ref view = py::attr(py::attr(context, "preferences"), "view");
  py::set_item(record, "view", view);
  py::set_item(record, "display", py::attr(view, "render_display_type"));
  py::set_attr(view, "render_display_type", py::str("NONE"));
  Ref handlers = py::attr(host_app(m), "handlers");
  Ref added = py::lookup(record, "handlers");
  for (const Handler& h : kHandlers) {
    Ref list = py::attr(handlers, h.list);
    Ref fn = py::bind(h.def, record);
    py::call_method(list, "append", fn);
    py::append(added, py::tuple(list, fn));
  }
}

// Undoes `begin` and forgets the job; the set-up is the job object's to take back. Every step
// runs; the first failure leaves at the end. After another file has replaced the one the job
// ran in, the window manager's timer is gone with it and is left alone.
void release(PyObject* m, const Ref& record, bool file_kept = true) {
  if (py::equals(py::global(m, "_job").get(), record.get())) py::add(m, "_job", py::none());
  py::with_clean_up(
      [&] {
        show_in_status_bar(m, py::none());
        for (const Ref& pair : py::iterate(py::lookup(record, "handlers"))) {
          Ref list = py::item(pair, 0), fn = py::item(pair, 1);
          if (py::to_long(py::call_method(list, "count", fn).get()) > 0)
            py::call_method(list, "remove", fn);
        }
        py::call_method(py::lookup(record, "handlers"), "clear");
      },
      [&] {
        py::with_clean_up(
            [&] {
              Ref view = py::get_item(record.get(), "view");
              if (view) py::set_attr(view, "render_display_type", py::lookup(record, "display"));
            },
            [&] {
              Ref timer = py::get_item(record.get(), "timer");
              py::set_item(record, "timer", py::none());
              if (file_kept && timer && !timer.is_none())
                py::call_method(py::lookup(record, "wm"), "event_timer_remove", timer);
            });
      });
}

// Releases the job and takes its set-up back without looking at its file.
void abandon(PyObject* m, const Ref& record) {
  py::with_clean_up([&] { release(m, record); },
                    [&] { py::call_method(py::lookup(record, "job"), "abandon"); });
}

// Takes back a job whose render is over; one still rendering is left as it is.
void abandon_if_over(PyObject* m) {
  Ref record = record_of(m);
  if (record && render_over(m, record)) abandon(m, record);
}

void start_tick(PyObject* m) {
  Ref timers = py::attr(host_app(m), "timers");
  Ref tick_fn = py::global(m, "_render_job_tick");
  if (py::truthy(py::call_method(timers, "is_registered", tick_fn))) return;
  py::call_tuple(
      py::attr(timers, "register").get(), py::tuple(tick_fn),
      py::kwargs({{"first_interval", py::real(kTickSeconds)}, {"persistent", py::boolean(true)}}));
}

// The send once the job is over: its file checked and sent on, or the stop told.
Ref conclude(PyObject* m, PyObject* op, const Ref& record) {
  release(m, record);
  Ref job = py::lookup(record, "job");
  Ref props = py::attr(py::lookup(record, "scene"), "lumo_uploader");
  Ref path, meta;
  try {
    if (py::equals(py::lookup(record, "ended"), py::str("cancel"))) {
      // A stop leaves nothing to send; a write that failed raises here instead.
      py::call_method(job, "stop");
      report(op, "WARNING", "渲染已取消，未发送任何素材");
      return py::set_of("CANCELLED");
    }
    auto made = py::unpack(py::call_method(job, "finish"), 2);
    path = made[0], meta = made[1];
  } catch (py::Error& e) {
    return production_failed(m, op, e);
  }
  return deliver(m, op, props, path, py::lookup(record, "kind"), meta);
}

Ref window_of(PyObject* context) {
  Ref window = py::attr_or_null(context, "window");
  return window && !window.is_none() ? window : Ref();
}

}  // namespace

bool refuse_while_rendering(PyObject* m, PyObject* op) {
  if (record_of(m)) {
    report(op, "ERROR", "已有素材正在渲染，请等它完成，或按 Esc 停止");
    return true;
  }
  // Another render job (the user's own F12) reads the scene a send would set up: changing it
  // under that render crashes the host, whichever way the send would render.
  if (render_job_running(m, false)) {
    report(op, "ERROR", "Blender 正在渲染，请等当前渲染结束后再发送");
    return true;
  }
  return false;
}

Ref render_job_text(PyObject* m) {
  Ref record = record_of(m);
  if (!record) return Ref();
  long long total = py::to_long(py::lookup(record, "total").get());
  long long written = std::min(total, py::to_long(py::lookup(record, "written").get()));
  return py::format("渲染中 {}/{} 帧", written, total);
}

Ref invoke_send(PyObject* m, const py::Params& p) {
  PyObject* op = p[0];
  PyObject* context = p[1];
  if (refuse_until_restart(m, op) || refuse_while_rendering(m, op)) return py::set_of("CANCELLED");
  Ref window = window_of(context);
  // Without a window (a script's call) the send renders at once.
  if (!window) return py::call(py::global(m, "execute_send"), op, context);

  Ref scene = py::attr(context, "scene");
  Ref props = py::attr(scene, "lumo_uploader");
  Ref staged;
  try {
    staged = py::call(py::global(m, "_stage"), context, scene, props);
  } catch (py::Error& e) {
    return production_failed(m, op, e);
  }
  // A source made at once (a still freezes the window as a job too).
  if (staged.is_none()) return py::call(py::global(m, "execute_send"), op, context);

  auto job_kind = py::unpack(staged, 2);
  Ref job = job_kind[0];
  Ref wm = py::attr(context, "window_manager");
  Ref record = py::dict();
  py::set_item(record, "job", job);
  py::set_item(record, "kind", job_kind[1]);
  py::set_item(record, "scene", scene);
  py::set_item(record, "wm", wm);
  py::set_item(record, "written", py::integer(0));
  py::set_item(record, "total", py::attr(job, "frames"));
  py::set_item(record, "ended", py::none());
  py::set_item(record, "released", py::boolean(false));
  py::set_item(record, "handlers", py::list());
  try {
    begin(m, record, context);
    Ref render = py::attr(py::attr(py::attr(py::global(m, "bpy"), "ops"), "render"), "render");
    Ref started =
        py::call_tuple(render.get(), py::tuple("INVOKE_DEFAULT"), py::attr(job, "render_kwargs"));
    if (!py::contains(started, py::str("RUNNING_MODAL")))
      py::raise(PyExc_RuntimeError, "Blender 未能开始渲染，请稍后重试");
  } catch (py::Error& e) {
    abandon(m, record);
    return production_failed(m, op, e);
  }
  py::add(m, "_job", record);
  py::call_method(wm, "modal_handler_add", op);
  py::set_item(record, "timer",
               py::call_tuple(py::attr(wm, "event_timer_add").get(), py::tuple(kTickSeconds),
                              py::kwargs({{"window", window}})));
  start_tick(m);
  redraw_panels(m);
  show_progress(m);
  return py::set_of("RUNNING_MODAL");
}

PY_EXPORT(ops, py::function<"invoke_send", "op, context, event",
                            "The send from the interface: a video renders as the host's render "
                            "job, and the operator waits for it as a modal one.",
                            invoke_send>());

Ref modal_send(PyObject* m, const py::Params& p) {
  Ref record = record_of(m);
  if (!record) return py::set_of("CANCELLED");  // taken back already (another file opened)
  if (!py::equals(py::attr(p[2], "type"), py::str("TIMER")) || !render_over(m, record))
    return py::set_of("PASS_THROUGH");
  return conclude(m, p[0], record);
}

PY_EXPORT(
    ops,
    py::function<"modal_send", "op, context, event",
                 "The waiting send: once the render job is over, the send goes on.", modal_send>());

Ref cancel_send(PyObject* m, const py::Params&) {
  // The host drops the operator when another file opens or Blender quits, after stopping the
  // job; the file the job ran in is still there.
  if (Ref record = record_of(m)) abandon(m, record);
  return py::none();
}

PY_EXPORT(
    ops,
    py::function<"cancel_send", "op, context",
                 "The waiting send dropped by the host: everything taken back.", cancel_send>());

Ref render_job_tick(PyObject* m, const py::Params&) {
  Ref record = record_of(m);
  if (!record) return py::none();
  if (py::truthy(py::lookup(record, "released"))) {
    abandon_if_over(m);
    return record_of(m) ? py::real(kTickSeconds) : py::none();
  }
  // The operator does not run while the interface is locked; the panel follows the frames here.
  Ref written = py::lookup(record, "written");
  Ref shown = py::get_item(record.get(), "shown");
  if (!shown || !py::equals(shown, written)) {
    py::set_item(record, "shown", written);
    redraw_panels(m);
    show_progress(m);
  }
  return py::real(kTickSeconds);
}

PY_EXPORT(ops, py::function<"_render_job_tick", "",
                            "The render job's timer: the panel's progress, and the take-back of a "
                            "job whose operator is gone; None once no job is left.",
                            render_job_tick>());

Ref release_render_job(PyObject* m, const py::Params&) {
  // The host drops the operator without telling it; the render cannot be stopped from here, so
  // the timer takes back once it is over.
  if (Ref record = record_of(m)) py::set_item(record, "released", py::boolean(true));
  abandon_if_over(m);
  return py::none();
}

PY_EXPORT(ops, py::function<"release_render_job", "",
                            "The add-on is disabled: the render job's set-up is taken back now "
                            "or, while it renders, once it is over.",
                            release_render_job>());

Ref render_job_file_closing(PyObject* m, const py::Params&) {
  // The host stops the job after this and then drops the operator, which takes back; a job
  // already over is taken back here.
  abandon_if_over(m);
  return py::none();
}

PY_EXPORT(ops, py::function<"render_job_file_closing", "*args",
                            "Before another file opens: a render job already over is taken back.",
                            render_job_file_closing>());

Ref render_job_file_opened(PyObject* m, const py::Params&) {
  // A job still known here ran in the file that is gone; nothing of it can be taken back, but
  // the preference and the handlers are the session's.
  if (Ref record = record_of(m)) release(m, record, false);
  return py::none();
}

PY_EXPORT(ops, py::function<"render_job_file_opened", "*args",
                            "After another file opened: a job still known is forgotten.",
                            render_job_file_opened>());

}  // namespace ops
