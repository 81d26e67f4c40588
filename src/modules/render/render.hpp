// Module `render`: the functions behind its Python names. Each file of this folder holds one
// concern; module.cpp lists them all.
#pragma once

#include "py/py.hpp"

namespace render {

// Host-free (geometry.cpp).
py::Ref resolution_for(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref clamp_frame_range(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref is_supported_video(PyObject* m, PyObject* args, PyObject* kwargs);
py::Ref tmp_path(PyObject* m, PyObject* args, PyObject* kwargs);

// Shared helpers for the host parts.
// resolution_for's rule with its error, for callers that already hold integers.
std::pair<long long, long long> checked_resolution(long long long_edge, long long aspect_w,
                                                   long long aspect_h);
// A new empty file "lumo_stage_<random><suffix>" in the temporary directory; its absolute path.
py::Ref make_tmp_path(PyObject* m, const py::Ref& suffix);

}  // namespace render
