// The package's files against the modules running. Blender updates an extension inside a
// running session by replacing its files and enabling it again, but compiled modules, once
// loaded, stay in the process until it ends (and on Windows their files cannot be replaced
// while loaded). Until a restart the files may be another version than these modules: the
// panel says so and a send is refused, rather than new Python running over old modules.
#include <optional>
#include <string>

#include "core/manifest.hpp"
#include "ops.hpp"
#include "tavro_version.hpp"

namespace ops {

using py::Ref;

Ref restart_notice(PyObject* m) {
  // Beside this module's own file: the package as it is on disk now.
  Ref os_path = py::attr(py::global(m, "os"), "path");
  Ref folder = py::call_method(os_path, "dirname", py::global(m, "__file__"));
  Ref manifest = py::call_method(os_path, "join", folder, py::str("blender_manifest.toml"));
  std::optional<std::string> files = tavro::core::manifest_version_of_file(py::utf8(manifest));
  if (files == TAVRO_VERSION) return py::none();
  if (!files)
    return py::str("插件文件已改动，请重启 Blender 后再使用（当前运行的是 " TAVRO_VERSION "）");
  return py::format("插件已更新到 {}，请重启 Blender 后再使用（当前运行的是 {}）", py::str(*files),
                    py::str(TAVRO_VERSION));
}

namespace {

Ref restart_notice_fn(PyObject* m, const py::Params&) { return restart_notice(m); }

}  // namespace

bool refuse_until_restart(PyObject* m, PyObject* op) {
  Ref notice = restart_notice(m);
  if (notice.is_none()) return false;
  report(op, "ERROR", py::format("无法发送：{}", notice));
  return true;
}

PY_EXPORT(ops,
          py::function<"restart_notice", "",
                       "What the user must do when the package's files are another version than "
                       "the modules running (a restart), or None.",
                       restart_notice_fn>());

}  // namespace ops
