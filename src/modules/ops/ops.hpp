// Module `ops`: the functions behind its Python names, one concern per file; module.cpp lists
// them all. Every host object (operator, context, scene, layout) is reached through Python
// attribute access, and `render`, `bridge`, `config`, `os`, `webbrowser` and `bpy` through the
// module's own globals at the moment of use, as Python code would.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "py/py.hpp"

namespace ops {

// production.cpp
py::Ref aspects();  // the value of `_ASPECTS`
py::Ref aspect_wh(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref long_edge(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref wrap(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref produce(PyObject* m, PyObject* args, PyObject* kwargs);

// send.cpp
py::Ref execute_send(PyObject* m, PyObject* args, PyObject* kwargs);

// panel.cpp
py::Ref draw_panel(PyObject* m, PyObject* args, PyObject* kwargs);

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
py::Ref bridge_rows_fn(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref tick(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref open_import_page(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref show_asset_file(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref stop_bridge(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref stop_all_bridges(PyObject* m, PyObject* args, PyObject* kwargs);
// Opens `url` in the browser; when that fails, shows it in the status with the warning.
// Returns whether the browser opened.
bool open_in_browser(PyObject* m, PyObject* op, const py::Ref& props, const py::Ref& url);

// progress.cpp: frames done of the total in the host's progress indicator while `body` renders.
// The frame handler is registered only for the duration of `body`, on every way out.
py::Ref with_frame_progress(PyObject* m, const std::function<py::Ref()>& body);

// Shared helpers (production.cpp).
// The pieces of `text` (a str) of `width` code points each; one empty piece for empty text.
py::Ref wrap_text(PyObject* text, long long width);
// `a, b, ... = value` with exactly `n` items, Python's ValueError texts otherwise.
std::vector<py::Ref> unpack(const py::Ref& value, size_t n);
// format(value, spec), Python's own number formatting.
py::Ref format(const py::Ref& value, const char* spec);
// str(int(value)): a number written as a whole number, a fraction cut toward zero.
py::Ref whole(const py::Ref& value);
// A set holding one text, as the host's operator results and report levels are.
py::Ref text_set(const char* text);
// a + b for two objects (str concatenation here).
py::Ref concat(const py::Ref& a, const py::Ref& b);
// op.report({level}, message)
void report(PyObject* op, const char* level, const py::Ref& message);
void report(PyObject* op, const char* level, const char* message);
// Calls `fn` with each item of a Python iterable.
void for_each(const py::Ref& iterable, const std::function<void(const py::Ref&)>& fn);

}  // namespace ops
