// The bridges this session started: each send adds one to `_bridges` (newest first), the panel
// shows the newest few with their state in words, read from the bridge's own counters, and
// offers to open the import page again, to show the file and to stop the bridge. A timer keeps
// the panel current while some bridge is alive and unregisters itself when none is.
#include <algorithm>
#include <string>

#include "ops.hpp"

namespace ops {

using py::Ref;

namespace {

constexpr double kTickSeconds = 0.25;  // how often the panel follows a live bridge

struct Kind {
  const char* kind;
  const char* label;
  const char* icon;
};
constexpr Kind kKinds[] = {{"image", "图片", "IMAGE_DATA"}, {"video", "视频", "FILE_MOVIE"}};
constexpr Kind kOtherKind = {"", "素材", "FILE"};

const Kind& kind_of(PyObject* kind) {
  for (const Kind& k : kKinds)
    if (py::equals(kind, py::str(k.kind).get())) return k;
  return kOtherKind;
}

long long count(const Ref& stats, const char* key) {
  return py::to_long(py::lookup(stats, key).get());
}

bool flag(const Ref& stats, const char* key) { return py::truthy(py::lookup(stats, key)); }

// "已传输 45%（共 12.3 MB）": `sent` bytes of the latest /asset answer's `size`.
Ref transfer_text(long long sent, long long size) {
  long long percent = size > 0 ? std::max(0LL, sent) * 100 / size : 100;
  return py::format("已传输 {}%（共 {:.1f} MB）", percent, static_cast<double>(size) / kMegabyte);
}

BridgeRow row_of(const Ref& entry) {
  BridgeRow row{entry, "", Ref(), "", "", "", false};
  const Kind& kind = kind_of(py::attr(entry, "kind").get());
  row.kind_label = kind.label;
  row.kind_icon = kind.icon;
  auto phase = [&row](const char* key, Ref text, const char* icon, bool alive) {
    row.phase = key;
    row.text = std::move(text);
    row.icon = icon;
    row.alive = alive;
    return row;
  };
  Ref stats = py::call_method(py::attr(entry, "server").get(), "stats");
  if (py::truthy(py::attr(entry, "stopped").get()))
    return phase("stopped", py::str("已停止，本地服务已关闭"), "CANCEL", false);
  if (flag(stats, "done"))
    return phase("imported", py::str("已导入，本地服务已关闭"), "CHECKMARK", false);
  if (flag(stats, "closed") ||
      py::truthy(py::call_method(py::attr(entry, "state").get(), "expired").get()))
    return phase("expired", py::str("已过期，本地服务已关闭"), "ERROR", false);
  long long answers = count(stats, "asset_requests");
  if (answers > 0) {
    // The byte count adds up every answer, so the earlier (complete) answers of a retried
    // transfer are taken off to leave the latest answer's share.
    long long size = count(stats, "asset_size");
    long long sent = count(stats, "asset_bytes") - (answers - 1) * size;
    if (sent < size) return phase("transferring", transfer_text(sent, size), "SORT_ASC", true);
    return phase("uploading", py::str("已交给网页，等待网页完成导入"), "TIME", true);
  }
  if (count(stats, "meta_requests") > 0)
    return phase("connected", py::str("网页已连接"), "LINKED", true);
  return phase("waiting", py::str("等待网页连接"), "TIME", true);
}

// The entry whose id the operator carries in its `bridge` property, or empty.
Ref find_entry(PyObject* m, PyObject* op) {
  Ref wanted = py::attr(op, "bridge");
  for (const Ref& entry : py::iterate(py::global(m, "_bridges")))
    if (py::equals(py::attr(entry, "id"), wanted)) return entry;
  return Ref();
}

// Stops the server's accept loop and closes its socket; both are idempotent.
void close_server(const Ref& entry) {
  Ref server = py::attr(entry, "server");
  py::call_method(server.get(), "shutdown");
  py::call_method(server.get(), "server_close");
}

}  // namespace

void redraw_panels(PyObject* m) {
  Ref wm = py::attr(py::attr(py::global(m, "bpy"), "context"), "window_manager");
  Ref view = py::str("VIEW_3D"), sidebar = py::str("UI");
  for (const Ref& window : py::iterate(py::attr(wm, "windows"))) {
    for (const Ref& area : py::iterate(py::attr(py::attr(window, "screen"), "areas"))) {
      if (!py::equals(py::attr(area, "type"), view)) continue;
      for (const Ref& region : py::iterate(py::attr(area, "regions")))
        if (py::equals(py::attr(region, "type"), sidebar)) py::call_method(region, "tag_redraw");
    }
  }
}

namespace {

Ref host_timers(PyObject* m) { return py::attr(py::attr(py::global(m, "bpy"), "app"), "timers"); }

bool tick_registered(const Ref& timers, const Ref& tick_fn) {
  return py::truthy(py::call_method(timers.get(), "is_registered", tick_fn).get());
}

void start_timer(PyObject* m) {
  Ref timers = host_timers(m);
  Ref tick_fn = py::global(m, "_tick");
  if (tick_registered(timers, tick_fn)) return;
  // Persistent: bridges outlive a file load, and so must the panel's view of them.
  py::call_tuple(
      py::attr(timers, "register").get(), py::tuple(tick_fn),
      py::kwargs({{"first_interval", py::real(kTickSeconds)}, {"persistent", py::boolean(true)}}));
}

void stop_timer(PyObject* m) {
  Ref timers = host_timers(m);
  Ref tick_fn = py::global(m, "_tick");
  if (tick_registered(timers, tick_fn)) py::call_method(timers.get(), "unregister", tick_fn);
}

// The operator's bridge, or a report and empty when it is gone from the list.
Ref entry_for(PyObject* m, PyObject* op) {
  Ref entry = find_entry(m, op);
  if (!entry) report(op, "ERROR", "找不到这个本地服务，请重新发送");
  return entry;
}

}  // namespace

void track_bridge(PyObject* m, const Ref& state, const Ref& server, const Ref& port, const Ref& url,
                  const Ref& path, const Ref& kind) {
  Ref bridges = py::global(m, "_bridges");
  long long id = 1;
  if (py::length(bridges) > 0) id = py::to_long(py::attr(py::item(bridges, 0), "id").get()) + 1;
  Ref name = py::call(py::attr(py::attr(py::global(m, "os"), "path"), "basename"), path);
  Ref fields = py::kwargs({{"id", py::integer(id)},
                           {"state", state},
                           {"server", server},
                           {"port", port},
                           {"url", url},
                           {"path", path},
                           {"name", name},
                           {"kind", kind},
                           {"stopped", py::boolean(false)}});
  Ref entry =
      py::call_tuple(py::attr(py::import("types"), "SimpleNamespace").get(), py::tuple(), fields);
  py::call_method(bridges, "insert", 0, entry);
  // Bridges that have ended and are no longer shown are forgotten; live ones are kept, so that
  // closing the add-on can still close them.
  Ref kept = py::list();
  size_t index = 0;
  for (const Ref& e : py::iterate(bridges))
    if (index++ < kShownBridges || row_of(e).alive) py::append(kept, e);
  py::call_method(bridges, "clear");
  py::call_method(bridges, "extend", kept);
  start_timer(m);
}

std::vector<BridgeRow> bridge_rows(PyObject* m, size_t limit) {
  std::vector<BridgeRow> rows;
  for (const Ref& entry : py::iterate(py::global(m, "_bridges"))) {
    if (rows.size() == limit) break;
    rows.push_back(row_of(entry));
  }
  return rows;
}

Ref bridge_rows_fn(PyObject* m, const py::Params&) {
  Ref out = py::list();
  for (const BridgeRow& r : bridge_rows(m, kShownBridges)) {
    py::append(out, py::tuple(py::attr(r.entry, "id"), py::attr(r.entry, "name"), r.kind_label,
                              r.phase, r.text, r.alive));
  }
  return out;
}

PY_EXPORT(ops,
          py::function<"_bridge_rows", "",
                       "The bridges the panel shows: (id, file name, kind, phase, text, alive).",
                       bridge_rows_fn>());

Ref tick(PyObject* m, const py::Params&) {
  // Redraw only when what the panel shows has changed: a redraw of an unchanged panel costs
  // the host a frame for nothing.
  // Each bridge's state is read once: the shown ones for the panel, all for whether to go on.
  Ref shown = py::list();
  bool alive = false;
  size_t index = 0;
  for (const Ref& entry : py::iterate(py::global(m, "_bridges"))) {
    BridgeRow r = row_of(entry);
    alive = alive || r.alive;
    if (index++ < kShownBridges) py::append(shown, py::tuple(py::attr(entry, "id"), r.text));
  }
  if (!py::equals(shown.get(), py::global(m, "_shown").get())) {
    py::add(m, "_shown", shown);
    redraw_panels(m);
  }
  return alive ? py::real(kTickSeconds) : py::none();
}

PY_EXPORT(
    ops,
    py::function<"_tick", "",
                 "The panel's timer: redraws on a change; None (stop) once no bridge is alive.",
                 tick>());

Ref open_import_page(PyObject* m, const py::Params& p) {
  Ref entry = entry_for(m, p[0]);
  if (!entry) return py::set_of("CANCELLED");
  if (!row_of(entry).alive) {
    report(p[0], "WARNING", "这个本地服务已关闭，请在 Blender 中重新发送");
    return py::set_of("CANCELLED");
  }
  Ref props = py::attr(py::attr(p[1], "scene"), "lumo_uploader");
  if (open_in_browser(m, p[0], props, py::attr(entry, "url")))
    report(p[0], "INFO", "已在浏览器打开导入页");
  return py::set_of("FINISHED");
}

PY_EXPORT(ops,
          py::function<"open_import_page", "op, context",
                       "Open the import page of the operator's bridge again.", open_import_page>());

Ref show_asset_file(PyObject* m, const py::Params& p) {
  PyObject* op = p[0];
  Ref entry = entry_for(m, op);
  if (!entry) return py::set_of("CANCELLED");
  Ref path = py::attr(entry, "path");
  Ref os_path = py::attr(py::global(m, "os"), "path");
  if (!py::truthy(py::call_method(os_path.get(), "isfile", path).get())) {
    report(op, "ERROR", py::format("素材文件已不存在：{}", path));
    return py::set_of("CANCELLED");
  }
  // Windows and macOS select the file in their file manager; elsewhere the folder is opened.
  // (Blender's own wm.path_open opens a folder only, and on Linux runs the same xdg-open.)
  std::string platform = py::utf8(py::attr(py::global(m, "sys"), "platform").get());
  Ref command;
  if (platform.rfind("win", 0) == 0)
    command = py::tuple("explorer", "/select,", path);
  else if (platform == "darwin")
    command = py::tuple("open", "-R", path);
  else
    command = py::tuple("xdg-open", py::call_method(os_path.get(), "dirname", path));
  Ref subprocess = py::global(m, "subprocess");
  Ref quiet = py::attr(subprocess, "DEVNULL");
  try {
    py::call_tuple(py::attr(subprocess, "Popen").get(), py::tuple(command),
                   py::kwargs({{"stdin", quiet}, {"stdout", quiet}, {"stderr", quiet}}));
  } catch (py::Error& e) {
    if (!e.matches(PyExc_OSError)) throw;
    report(op, "WARNING", py::format("无法打开文件管理器，素材文件在：{}", path));
    return py::set_of("FINISHED");
  }
  report(op, "INFO", py::format("素材文件：{}", path));
  return py::set_of("FINISHED");
}

PY_EXPORT(ops, py::function<"show_asset_file", "op, context",
                            "Show the operator's bridge's asset file in the system's file manager.",
                            show_asset_file>());

Ref stop_bridge(PyObject* m, const py::Params& p) {
  Ref entry = entry_for(m, p[0]);
  if (!entry) return py::set_of("CANCELLED");
  bool alive = row_of(entry).alive;
  close_server(entry);
  if (alive) py::set_attr(entry, "stopped", py::boolean(true));
  redraw_panels(m);
  report(p[0], "INFO", py::format("已停止本地服务：{}", py::attr(entry, "name")));
  return py::set_of("FINISHED");
}

PY_EXPORT(ops,
          py::function<"stop_bridge", "op, context", "Stop the operator's bridge.", stop_bridge>());

Ref stop_all_bridges(PyObject* m, const py::Params&) {
  Ref bridges = py::global(m, "_bridges");
  for (const Ref& entry : py::iterate(bridges)) close_server(entry);
  py::call_method(bridges, "clear");
  py::add(m, "_shown", py::list());
  stop_timer(m);
  return py::none();
}

PY_EXPORT(ops, py::function<"stop_all_bridges", "",
                            "Close every bridge this session started and stop the panel's timer.",
                            stop_all_bridges>());

}  // namespace ops
