// The send operator's body: produce the asset, refuse it when too large, start a fresh bridge
// for it, open the import page in the user's browser and tell the user the outcome with exactly
// one report. Only production and the bridge start are guarded; every other error leaves to the
// caller, and interrupt or exit requests are never caught.
#include "ops.hpp"

namespace ops {

using py::Ref;

namespace {

constexpr long long kMegabyte = 1048576;  // "MB" in the size message

// An ordinary error (an Exception subclass) ends the send with `prefix` and the error's text;
// anything else (KeyboardInterrupt, SystemExit) goes on to the caller.
Ref cancel_on(PyObject* op, py::Error& error, const char* prefix) {
  if (!error.matches(PyExc_Exception)) throw;
  report(op, "ERROR", concat(py::str(prefix), Ref::steal(PyObject_Str(error.value()))));
  return text_set("CANCELLED");
}

Ref megabytes(const Ref& bytes, const char* spec) {
  Ref mb = Ref::steal(PyNumber_TrueDivide(bytes.get(), py::integer(kMegabyte).get()));
  return format(mb, spec);
}

}  // namespace

bool open_in_browser(PyObject* m, PyObject* op, const Ref& props, const Ref& url) {
  Ref opened = py::call(py::attr(py::global(m, "webbrowser"), "open"), url);
  if (py::truthy(opened.get())) return true;
  py::set_attr(props, "status", concat(py::str("请手动打开："), url));
  report(op, "WARNING", "未能自动打开浏览器，地址已显示在面板上");
  return false;
}

Ref execute_send(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("execute_send", args, kwargs, {"op", "context"});
  PyObject* op = p[0];
  PyObject* context = p[1];

  Ref props = py::attr(py::attr(context, "scene"), "lumo_uploader");
  Ref scene = py::attr(context, "scene");

  Ref path, kind, meta;
  try {
    auto made = unpack(py::call(py::global(m, "_produce"), context, scene, props), 3);
    path = made[0], kind = made[1], meta = made[2];
  } catch (py::Error& e) {
    return cancel_on(op, e, "生成素材失败：");
  }

  Ref config = py::global(m, "config");
  bool image = py::equals(kind.get(), py::str("image").get());
  Ref limit = py::attr(config, image ? "MAX_IMAGE_BYTES" : "MAX_VIDEO_BYTES");
  Ref os_path = py::attr(py::global(m, "os"), "path");
  Ref size = py::call_method(os_path.get(), "getsize", path);
  int larger = PyObject_RichCompareBool(size.get(), limit.get(), Py_GT);
  if (larger < 0) py::throw_pending();
  if (larger) {
    Ref message = concat(py::str("素材 "), megabytes(size, ".1f"));
    message = concat(message, py::str(" MB 超过上限 "));
    message = concat(message, megabytes(limit, ".0f"));
    message = concat(message, py::str(" MB，请降低分辨率或缩短帧范围"));
    report(op, "ERROR", message);
    return text_set("CANCELLED");
  }

  Ref bridge = py::global(m, "bridge");
  Ref state = py::call(py::attr(bridge, "BridgeState"), path, kind, meta);
  Ref server, port;
  try {
    Ref serve = py::attr(bridge, "serve");
    Ref site = py::call(py::attr(py::global(m, "config"), "site_url"));
    auto started = unpack(py::call(serve, state, site), 2);
    server = started[0], port = started[1];
  } catch (py::Error& e) {
    return cancel_on(op, e, "本地桥接启动失败：");
  }

  config = py::global(m, "config");
  Ref url = py::call(py::attr(config, "build_import_url"), port, py::attr(state, "token"), kind);
  // The panel follows the bridge from here on and can stop it; the bridge still closes itself.
  track_bridge(m, state, server, port, url, path, kind);
  if (!open_in_browser(m, op, props, url)) return text_set("FINISHED");

  py::set_attr(props, "status", py::str("已在浏览器打开导入页，完成后本地服务自动关闭"));
  Ref truncated = py::call_method(meta.get(), "get", "truncated");
  if (py::truthy(truncated.get())) {
    Ref message = concat(py::str("素材超过 "), whole(py::attr(config, "MAX_VIDEO_SECONDS")));
    message = concat(message, py::str(" 秒，已截取前 "));
    message = concat(message, whole(py::attr(config, "MAX_VIDEO_SECONDS")));
    report(op, "WARNING", concat(message, py::str(" 秒")));
  } else {
    report(op, "INFO", "素材已就绪，请在浏览器中完成导入");
  }
  return text_set("FINISHED");
}

}  // namespace ops
