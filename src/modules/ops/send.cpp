// The send operator's body: produce the asset, refuse it when too large, start a fresh bridge
// for it, open the import page in the user's browser and tell the user the outcome with exactly
// one report. Only production and the bridge start are guarded; every other error leaves to the
// caller, and interrupt or exit requests are never caught.
#include "ops.hpp"
#include "sources.hpp"

namespace ops {

using py::Ref;

Ref cancel_on(PyObject* op, py::Error& error, const char* prefix, const Ref& text) {
  if (!error.matches(PyExc_Exception)) throw;
  report(op, "ERROR", py::format("{}{}", prefix, text ? text : Ref::borrow(error.value())));
  return py::set_of("CANCELLED");
}

Ref production_failed(PyObject* m, PyObject* op, py::Error& error) {
  if (!error.matches(PyExc_Exception)) throw;
  return cancel_on(op, error, "生成素材失败：", production_failure_text(m, error));
}

void report(PyObject* op, const char* level, const Ref& message) {
  py::call_method(op, "report", py::set_of(level), message);
}

void report(PyObject* op, const char* level, const char* message) {
  report(op, level, py::str(message));
}

bool open_in_browser(PyObject* m, PyObject* op, const Ref& props, const Ref& url) {
  Ref opened = py::call(py::attr(py::global(m, "webbrowser"), "open"), url);
  if (py::truthy(opened)) return true;
  py::set_attr(props, "status", py::format("请手动打开：{}", url));
  report(op, "WARNING", "未能自动打开浏览器，地址已显示在面板上");
  return false;
}

Ref execute_send(PyObject* m, const py::Params& p) {
  PyObject* op = p[0];
  PyObject* context = p[1];
  if (refuse_until_restart(m, op) || refuse_while_rendering(m, op)) return py::set_of("CANCELLED");

  Ref props = py::attr(py::attr(context, "scene"), "lumo_uploader");
  Ref scene = py::attr(context, "scene");

  Ref path, kind, meta;
  try {
    auto made = py::unpack(py::call(py::global(m, "_produce"), context, scene, props), 3);
    path = made[0], kind = made[1], meta = made[2];
  } catch (py::Error& e) {
    return production_failed(m, op, e);
  }
  return deliver(m, op, props, path, kind, meta);
}

Ref deliver(PyObject* m, PyObject* op, const Ref& props, const Ref& path, const Ref& kind,
            const Ref& meta) {
  Ref config = py::global(m, "config");
  Ref limit = py::attr(config, source_of_asset(kind.get()).size_limit);
  Ref os_path = py::attr(py::global(m, "os"), "path");
  Ref size = py::call_method(os_path, "getsize", path);
  if (py::greater(size, limit)) {
    Ref mb = py::integer(kMegabyte);
    report(op, "ERROR",
           py::format("素材 {:.1f} MB 超过上限 {:.0f} MB，请降低分辨率或缩短帧范围", size / mb,
                      limit / mb));
    return py::set_of("CANCELLED");
  }

  Ref bridge = py::global(m, "bridge");
  Ref state = py::call(py::attr(bridge, "BridgeState"), path, kind, meta);
  Ref server, port;
  try {
    Ref serve = py::attr(bridge, "serve");
    Ref site = py::call(py::attr(py::global(m, "config"), "site_url"));
    auto started = py::unpack(py::call(serve, state, site), 2);
    server = started[0], port = started[1];
  } catch (py::Error& e) {
    return cancel_on(op, e, "本地桥接启动失败：");
  }

  config = py::global(m, "config");
  Ref url = py::call(py::attr(config, "build_import_url"), port, py::attr(state, "token"), kind);
  // The panel follows the bridge from here on and can stop it; the bridge still closes itself.
  track_bridge(m, state, server, port, url, path, kind);
  if (!open_in_browser(m, op, props, url)) return py::set_of("FINISHED");

  py::set_attr(props, "status", py::str("已在浏览器打开导入页，完成后本地服务自动关闭"));
  Ref truncated = py::call_method(meta.get(), "get", "truncated");
  if (py::truthy(truncated)) {
    Ref seconds = py::int_of(py::attr(config, "MAX_VIDEO_SECONDS"));
    report(op, "WARNING", py::format("素材超过 {} 秒，已截取前 {} 秒", seconds, seconds));
  } else {
    report(op, "INFO", "素材已就绪，请在浏览器中完成导入");
  }
  return py::set_of("FINISHED");
}

PY_EXPORT(ops,
          py::function<"execute_send", "op, context",
                       "The send operator: produce, check the size, serve, open the import page.",
                       execute_send>());

}  // namespace ops
