// Snapshot render: the current frame as a white-model PNG through a chosen camera.
#include "host_caps.hpp"
#include "render.hpp"

namespace render {

py::Ref render_snapshot(PyObject* m, const py::Params& p) {
  long long long_edge = p.integer(2), aspect_w = p.integer(3), aspect_h = p.integer(4);
  PyObject* scene = p[0];
  PyObject* camera = p[1];
  auto [width, height] = checked_resolution(long_edge, aspect_w, aspect_h);
  host(m);  // fails before a file is made when there is no host
  RenderOutput output(m, make_tmp_path(m, py::str(".png")), {width, height, std::nullopt});
  const py::Ref& path = output.path();

  with_scene_guard(scene, [&] {
    apply_workbench(m, scene, width, height);
    py::Ref image = py::attr(py::attr(scene, "render"), "image_settings");
    caps::set_media_type(image, "IMAGE");
    py::set_attr(image, "file_format", py::str("PNG"));
    // No alpha channel at all: some hosts (4.5) write an opaque film's alpha as 254, which
    // pages and image tools take for a transparent picture.
    py::set_attr(image, "color_mode", py::str("RGB"));
    py::set_attr(py::attr(scene, "render"), "filepath", path);
    py::set_attr(scene, "camera", py::Ref::borrow(camera));
    caps::render_3d_view(scene);
    run_render(m, py::kwargs({{"write_still", py::boolean(true)}}), output);
  });

  // The host wrote nothing: no file, or the placeholder as it was made.
  if (!output.placeholder_written()) py::raise(PyExc_RuntimeError, "截图渲染未产出文件");
  verify_png(m, path, width, height);

  py::Ref meta = py::dict();
  py::set_item(meta, "width", py::integer(width));
  py::set_item(meta, "height", py::integer(height));
  py::set_item(
      meta, "frame",
      py::integer(py::integer_arg(py::attr(scene, "frame_current").get(), "frame_current")));
  py::set_item(meta, "camera", camera_name(camera));
  return py::tuple(path, meta);
}

PY_EXPORT(render,
          py::function<"render_snapshot", "scene, camera, long_edge, aspect_w, aspect_h",
                       "The current frame as a white-model PNG: (path, meta).", render_snapshot>());

}  // namespace render
