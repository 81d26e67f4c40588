// Module `render`: output geometry, the scene guard, white-model renders and local video
// normalisation. Loads `config` from its own package; tolerates a missing host API, so its
// host-free functions work outside Blender.
#include "render.hpp"

namespace {

int exec_render(PyObject* m) {
  return py::guard_status([m] {
    py::add(m, "contextlib", py::import("contextlib"));
    py::add(m, "os", py::import("os"));
    py::add(m, "tempfile", py::import("tempfile"));
    py::add(m, "config", py::import_sibling(m, "config"));
    PyObject* bpy = PyImport_ImportModule("bpy");
    if (bpy == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) py::throw_pending();
      PyErr_Clear();
      bpy = Py_NewRef(Py_None);
    }
    py::add(m, "bpy", py::Ref::steal(bpy));
  });
}

PyMethodDef kFunctions[] = {
    PY_FUNCTION("resolution_for", render::resolution_for,
                "resolution_for($module, /, long_edge, aspect_w, aspect_h)\n--\n\n"
                "Even pixel size (width, height) for a long edge and an aspect ratio."),
    PY_FUNCTION("clamp_frame_range", render::clamp_frame_range,
                "clamp_frame_range($module, /, start, end, fps, max_seconds)\n--\n\n"
                "(start, end, truncated): a forward range cut to max_seconds."),
    PY_FUNCTION("is_supported_video", render::is_supported_video,
                "is_supported_video($module, /, path)\n--\n\n"
                "Whether the path's extension is an accepted video extension."),
    PY_FUNCTION("_tmp_path", render::tmp_path,
                "_tmp_path($module, /, suffix)\n--\n\n"
                "A new empty temporary file named lumo_stage_*<suffix>; its absolute path."),
    PY_FUNCTIONS_END,
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_render)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "render", "White-model renders and video normalisation.", 0,
    kFunctions,            kSlots,   nullptr,                                       nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_render(void) { return PyModuleDef_Init(&kModule); }
