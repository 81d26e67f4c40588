// What a render call wrote. The host's render fails for many reasons (a render already running,
// a missing camera, a codec it cannot open) and its error says so; only a failed write is worth
// telling the user to look at the disk, and then the host's own text rarely says where. A failed
// write shows in the error's errno or in the output: the placeholder gone, or a file the host
// wrote there left empty or cut short.
#include <utility>

#include "render.hpp"

namespace render {
namespace {

// File times advance in coarse ticks (a few milliseconds on Linux): a host writing within the
// tick the placeholder was made in would leave its time unchanged. Set back, any write moves it.
constexpr long long kSetBackNs = 10'000'000'000LL;

// Whether the host's error names a full disk, a file over the size limit or a used-up quota:
// by its errno, or by the C library's text for one, which the host's own messages quote.
bool names_disk_fault(PyObject* m, PyObject* error) {
  py::Ref errnos = py::import("errno");
  py::Ref code = py::attr_or_null(error, "errno");
  py::Ref text = py::str(py::text_of(error));
  for (const char* name : {"ENOSPC", "EFBIG", "EDQUOT"}) {
    py::Ref known = py::attr_or_null(errnos, name);  // not every platform has EDQUOT
    if (!known) continue;
    if (code && py::equals(code, known)) return true;
    if (py::contains(text, py::call_method(py::global(m, "os"), "strerror", known))) return true;
  }
  return false;
}

bool is_file(PyObject* m, const py::Ref& path) {
  return py::truthy(py::call_method(py::attr(py::global(m, "os"), "path"), "isfile", path));
}

}  // namespace

RenderOutput::RenderOutput(PyObject* m, py::Ref placeholder, Media media)
    : m_(m), path_(std::move(placeholder)), media_(media) {
  py::Ref st = py::call_method(py::global(m_, "os"), "stat", path_);
  py::Ref mtime = py::attr(st, "st_mtime_ns") - py::integer(kSetBackNs);
  py::call_tuple(py::attr(py::global(m_, "os"), "utime").get(), py::tuple(path_),
                 py::kwargs({{"ns", py::tuple(py::attr(st, "st_atime_ns"), mtime)}}));
  stamp_ = stamp();
}

py::Ref RenderOutput::stamp() const {
  py::Ref st = py::call_method(py::global(m_, "os"), "stat", path_);
  return py::tuple(py::attr(st, "st_ino"), py::attr(st, "st_size"), py::attr(st, "st_mtime_ns"));
}

bool RenderOutput::placeholder_written() const {
  return is_file(m_, path_) && !py::equals(stamp(), stamp_);
}

bool RenderOutput::shows_write_fault() const {
  if (!is_file(m_, path_)) return true;
  if (placeholder_written() && ends_short(path_, media_)) return true;
  for (const py::Ref& file : py::iterate(named_after(m_, path_))) {
    if (ends_short(file, media_)) return true;
  }
  return false;
}

void run_render(PyObject* m, const py::Ref& kw, const RenderOutput& output) {
  py::Ref op = py::attr(py::attr(py::attr(host(m), "ops"), "render"), "render");
  try {
    py::call_tuple(op.get(), py::tuple(), kw);
  } catch (py::Error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    if (!names_disk_fault(m, e.value()) && !output.shows_write_fault()) throw;
    py::raise_from(PyExc_RuntimeError, write_failure_text(m, output.path()), e);
  }
}

py::Ref write_failure_text(PyObject* m, const py::Ref& output) {
  py::Ref folder = py::call_method(py::attr(py::global(m, "os"), "path"), "dirname", output);
  return py::format("渲染未能写出文件，请检查磁盘空间（{}）", folder);
}

}  // namespace render
