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
  py::call_tuple(op.get(), py::tuple(), kw);
}

py::Ref camera_name(PyObject* camera) {
  py::Ref name = py::attr_or_null(camera, "name");
  if (!name) return py::str("");
  if (py::is_str(name.get())) return name;
  return py::str(py::text_of(name.get()));
}

py::Ref duration_of(PyObject* m, long long frames) {
  py::Ref fps = config_value(m, "VIDEO_FPS");
  py::Ref seconds = py::Ref::steal(PyNumber_TrueDivide(py::integer(frames).get(), fps.get()));
  // The builtin round, so that the value is exactly the one Python code would compute.
  py::Ref round = py::attr(py::import("builtins"), "round");
  return py::call(round, seconds, 3);
}

}  // namespace render
