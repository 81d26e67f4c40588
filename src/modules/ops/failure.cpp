// How a failed production reads to the user. Errors pass with their own text, so the host's
// reason for a failed render reaches the user as the host gave it; only an OS error on one of
// the staged files is put in words: the temporary folder they are made in could not be written.
#include "core/staging.hpp"
#include "ops.hpp"

namespace ops {

py::Ref production_failure_text(PyObject* m, const py::Error& error) {
  py::Ref own = py::Ref::borrow(error.value());
  if (!error.matches(PyExc_OSError)) return own;
  py::Ref file = py::attr_or_null(own, "filename");
  if (!file || !py::is_str(file.get())) return own;
  py::Ref os_path = py::attr(py::global(m, "os"), "path");
  py::Ref name = py::call_method(os_path, "basename", file);
  if (!py::truthy(py::call_method(name, "startswith", tavro::core::kStagePrefix))) return own;
  return py::format("临时文件夹无法写入，请检查权限或磁盘空间（{}）",
                    py::call_method(os_path, "dirname", file));
}

}  // namespace ops
