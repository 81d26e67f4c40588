// Access to the host API and the small pieces every render shares.
#include "render.hpp"

namespace render {

py::Ref host(PyObject* m) {
  py::Ref bpy = py::global(m, "bpy");
  if (bpy.is_none()) {
    py::raise(PyExc_RuntimeError, "无法使用 Blender 的 bpy 模块：渲染只能在 Blender 中进行");
  }
  return bpy;
}

py::Ref config_value(PyObject* m, const char* name) {
  return py::attr(py::global(m, "config"), name);
}

void run_render(PyObject* m, const py::Ref& kw) {
  py::Ref op = py::attr(py::attr(py::attr(host(m), "ops"), "render"), "render");
  try {
    py::call_tuple(op.get(), py::tuple(), kw);
  } catch (py::Error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    // The host's text ("Could not initialize streams", "cannot save") does not say that
    // writing failed, nor where.
    py::raise_from(PyExc_RuntimeError, write_failure_text(m), e);
  }
}

py::Ref write_failure_text(PyObject* m) {
  // The output goes to the temporary folder.
  py::Ref folder = py::call_method(py::global(m, "tempfile"), "gettempdir");
  return py::format("渲染未能写出文件，请检查磁盘空间（{}）", folder);
}

bool has_content(PyObject* m, const py::Ref& path) {
  py::Ref ospath = py::attr(py::global(m, "os"), "path");
  return py::truthy(py::call_method(ospath, "isfile", path)) &&
         py::to_long(py::call_method(ospath, "getsize", path).get()) > 0;
}

py::Ref camera_name(PyObject* camera) {
  py::Ref name = py::attr_or_null(camera, "name");
  if (!name) return py::str("");
  if (py::is_str(name.get())) return name;
  return py::str(py::text_of(name.get()));
}

py::Ref video_meta(PyObject* m, long long width, long long height, long long frames,
                   bool truncated) {
  py::Ref fps = config_value(m, "VIDEO_FPS");
  py::Ref seconds = py::integer(frames) / fps;
  // The builtin round, so that the value is exactly the one Python code would compute.
  py::Ref duration = py::call(py::attr(py::import("builtins"), "round"), seconds, 3);
  py::Ref meta = py::dict();
  py::set_item(meta, "width", py::integer(width));
  py::set_item(meta, "height", py::integer(height));
  py::set_item(meta, "fps", fps);
  py::set_item(meta, "frames", py::integer(frames));
  py::set_item(meta, "duration", duration);
  py::set_item(meta, "truncated", py::boolean(truncated));
  return meta;
}

}  // namespace render
