// Module `ops`: what its files share. Each file holds one concern and declares the Python
// functions it defines with PY_EXPORT beside their bodies. Every host object (operator, context,
// scene, layout) is reached through Python attribute access, and `render`, `bridge`, `config`,
// `os`, `webbrowser` and `bpy` through the module's own globals at the moment of use, as Python
// code would.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "py/py.hpp"

namespace ops {

// The value of `_ASPECTS` (production.cpp).
py::Ref aspects();
// The view layer's active object, or None (production.cpp).
py::Ref active_object(PyObject* context);

// The pieces of `text` (a str) of `width` code points each; one empty piece for empty text.
py::Ref wrap_text(PyObject* text, long long width);

// The text after "生成素材失败：" for an error of production (failure.cpp).
py::Ref production_failure_text(PyObject* m, const py::Error& error);

// op.report({level}, message) (send.cpp).
void report(PyObject* op, const char* level, const py::Ref& message);
void report(PyObject* op, const char* level, const char* message);
// An ordinary error (an Exception subclass) ends the send with `prefix` and `text`, by default
// the error's own, returning CANCELLED; anything else (KeyboardInterrupt, SystemExit) goes on to
// the caller. Call it only while handling `error` (send.cpp).
py::Ref cancel_on(PyObject* op, py::Error& error, const char* prefix,
                  const py::Ref& text = py::Ref());
// cancel_on for an error of production: "生成素材失败：" and production_failure_text.
py::Ref production_failed(PyObject* m, PyObject* op, py::Error& error);
// The send from a produced file on: the size limit, the bridge, the browser, one report; the
// result set (send.cpp).
py::Ref deliver(PyObject* m, PyObject* op, const py::Ref& props, const py::Ref& path,
                const py::Ref& kind, const py::Ref& meta);
// Opens `url` in the browser; when that fails, shows it in the status with the warning.
// Returns whether the browser opened (send.cpp).
bool open_in_browser(PyObject* m, PyObject* op, const py::Ref& props, const py::Ref& url);

// restart.cpp: the notice to restart Blender when the package's files on disk are another
// version than these modules (updated under the running session), else None.
py::Ref restart_notice(PyObject* m);
// Refuses a send until that restart: reports the notice as the send's error and returns true.
bool refuse_until_restart(PyObject* m, PyObject* op);

// bridges.cpp: the bridges this session started, their live state and the panel's actions.
struct BridgeRow {
  py::Ref entry;           // the entry of `_bridges` (a SimpleNamespace)
  const char* phase;       // waiting, connected, transferring, uploading, imported, expired,
                           // stopped
  py::Ref text;            // the phase in words
  const char* icon;        // the phase's icon
  const char* kind_label;  // 图片 / 视频
  const char* kind_icon;
  bool alive;  // still serving: its buttons apply
};
// Remembers a bridge that has just started and keeps the panel's timer running.
void track_bridge(PyObject* m, const py::Ref& state, const py::Ref& server, const py::Ref& port,
                  const py::Ref& url, const py::Ref& path, const py::Ref& kind);
// The newest `limit` bridges, newest first.
std::vector<BridgeRow> bridge_rows(PyObject* m, size_t limit);
constexpr size_t kShownBridges = 3;
// Asks the host to redraw the sidebars of the 3D views, where the panel is.
void redraw_panels(PyObject* m);
// The unit of sizes shown to the user, written "MB".
constexpr long long kMegabyte = 1048576;

// progress.cpp: frames done of the total in the host's progress indicator while `body` renders.
// The frame handler is registered only for the duration of `body`, on every way out.
py::Ref with_frame_progress(PyObject* m, const std::function<py::Ref()>& body);

// render_job.cpp: a send from the interface renders as the host's render job.
// Whether a send must wait: a render job of the add-on, or any other render job, runs. Reports
// why when it must.
bool refuse_while_rendering(PyObject* m, PyObject* op);
// What the panel shows of the running render job ("渲染中 37/144 帧"), or empty.
py::Ref render_job_text(PyObject* m);

}  // namespace ops
