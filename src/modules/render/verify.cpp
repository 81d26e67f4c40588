// The produced file checked whole before it is handed over: a writer that ran out of disk
// space leaves a PNG without its end or an MP4 without its index, and the host does not always
// say so. Such a file is refused with an error naming its folder; it is left where it is, as
// every file the module writes.
#include <optional>

#include "core/media_check.hpp"
#include "host_caps.hpp"
#include "render.hpp"

namespace render {
namespace {

using tavro::core::MediaFault;

// The produced file's fault: an MP4's when `frames` is given, else a PNG's. cut_short when it
// is empty or cannot be opened (it was just written, so only a failing disk or folder explains
// that).
MediaFault fault_of(const py::Ref& path, long long width, long long height,
                    std::optional<long long> frames) {
  auto dimension = [](long long v) {
    return v > 0 && v <= 0xffffffffLL ? static_cast<std::uint32_t>(v) : 0u;
  };
  tavro::core::FilePtr f = tavro::core::open_for_reading(py::utf8(path));
  if (!f) return MediaFault::cut_short;
  const tavro::core::FileSource source(f.get());
  if (source.size() == 0) return MediaFault::cut_short;
  if (!frames) return tavro::core::check_png(source, dimension(width), dimension(height));
  return tavro::core::check_mp4(source, dimension(width), dimension(height),
                                *frames > 0 ? static_cast<std::uint64_t>(*frames) : 0);
}

MediaFault fault_of(const py::Ref& path, const Media& media) {
  return fault_of(path, media.width, media.height, media.frames);
}

void raise_for(PyObject* m, MediaFault fault, const py::Ref& path) {
  if (fault == MediaFault::none) return;
  py::Ref folder = py::call_method(py::attr(py::global(m, "os"), "path"), "dirname", path);
  if (fault == MediaFault::wrong_size || fault == MediaFault::wrong_frames) {
    py::raise(PyExc_RuntimeError,
              py::format("生成的文件与设置的尺寸或帧数不符，请重试（{}）", folder));
  }
  py::raise(PyExc_RuntimeError, py::format("生成的文件不完整，磁盘可能已满（{}）", folder));
}

void verify_mp4(PyObject* m, const py::Ref& path, long long width, long long height,
                long long frames) {
  raise_for(m, fault_of(path, width, height, frames), path);
}

}  // namespace

bool ends_short(const py::Ref& path, const Media& media) {
  return fault_of(path, media) == MediaFault::cut_short;
}

void verify_png(PyObject* m, const py::Ref& path, long long width, long long height) {
  raise_for(m, fault_of(path, width, height, std::nullopt), path);
}

void finish_mp4(PyObject* m, const py::Ref& path, long long width, long long height,
                long long frames) {
  // Browsers take an untagged HD video for BT.709 and would shift its saturated colours. The tag
  // goes in first: a write that fails there leaves a file the check refuses.
  tavro::core::tag_colours_of_file(py::utf8(path), caps::kUntaggedVideoColours);
  verify_mp4(m, path, width, height, frames);
}

bool whole_mp4(const py::Ref& path, long long width, long long height) {
  const MediaFault fault = fault_of(path, width, height, 0);
  return fault == MediaFault::none || fault == MediaFault::wrong_frames;
}

void raise_if_cut_short(const py::Ref& src, const std::string& source_name) {
  if (tavro::core::mp4_cut_short_of_file(py::utf8(src))) {
    py::raise(PyExc_RuntimeError,
              py::format("视频文件不完整，可能尚未下载或复制完：{}", source_name));
  }
}

py::Ref verify_output(PyObject* m, const py::Params& p) {
  py::Ref path = py::Ref::borrow(p.str_object(0));
  if (p.given(3) && !py::Ref::borrow(p[3]).is_none()) {
    verify_mp4(m, path, p.integer(1), p.integer(2), p.integer(3));
  } else {
    verify_png(m, path, p.integer(1), p.integer(2));
  }
  return py::none();
}

PY_EXPORT(render, py::function<"_verify_output", "path, width, height, frames=None",
                               "Raises RuntimeError unless the file is a whole PNG of this size "
                               "(frames None) or a whole MP4 of this size and frame count.",
                               verify_output>());

}  // namespace render
