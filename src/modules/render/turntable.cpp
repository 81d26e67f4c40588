// Turntable render: one turn of a camera of the module's own around an object, as a
// white-model H.264 video. The camera is keyed at every frame with the pose the core works out,
// so no interpolation setting (which the hosts keep in different places) matters, and it is
// removed with its data and action afterwards; the object itself is never touched.
#include "core/turntable.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "core/geometry.hpp"
#include "host_caps.hpp"
#include "render.hpp"

namespace render {
namespace {

using tavro::core::Vec3;

// Object types whose bounding box is something the render shows.
constexpr std::string_view kGeometryTypes[] = {"MESH",    "CURVE",       "SURFACE",    "META",
                                               "FONT",    "CURVES",      "POINTCLOUD", "VOLUME",
                                               "GPENCIL", "GREASEPENCIL"};
constexpr const char* kRigName = "Tavro 转台相机";

bool has_geometry(const py::Ref& object) {
  const std::string type = py::text_of(py::attr(object, "type").get());
  for (std::string_view t : kGeometryTypes)
    if (t == type) return true;
  return false;
}

double number(const py::Ref& seq, Py_ssize_t i) { return py::to_double(py::item(seq, i)); }

// The world-space corners of the bounding boxes of the target and its descendants that have
// geometry, as the host evaluates them now (modifiers included).
std::vector<Vec3> world_corners(PyObject* m, const py::Ref& target) {
  py::Ref depsgraph = py::call_method(py::attr(host(m), "context"), "evaluated_depsgraph_get");
  py::Ref objects = py::list();
  py::append(objects, target);
  for (const py::Ref& child : py::iterate(py::attr(target, "children_recursive")))
    py::append(objects, child);
  std::vector<Vec3> corners;
  for (const py::Ref& object : py::iterate(objects)) {
    if (!has_geometry(object)) continue;
    py::Ref evaluated = py::call_method(object, "evaluated_get", depsgraph);
    py::Ref world = py::attr(evaluated, "matrix_world");
    tavro::core::Matrix4 matrix{};
    for (Py_ssize_t r = 0; r < 4; ++r) {
      py::Ref row = py::item(world, r);
      for (Py_ssize_t c = 0; c < 4; ++c) matrix[static_cast<size_t>(r * 4 + c)] = number(row, c);
    }
    for (const py::Ref& corner : py::iterate(py::attr(evaluated, "bound_box")))
      corners.push_back(tavro::core::transform_point(
          matrix, {number(corner, 0), number(corner, 1), number(corner, 2)}));
  }
  return corners;
}

bool has_extent(const std::vector<Vec3>& points) {
  for (const Vec3& p : points)
    if (!(p == points.front())) return true;
  return false;
}

py::Ref vector(const Vec3& v) { return py::tuple(v.x, v.y, v.z); }

// The camera of one render: its object, its camera data, and the action its keys made.
struct Rig : Undo {
  py::Ref data, object;

  // Removes what was made, the action first (its object names it), then the object, which
  // also unlinks it, then the camera data, which nothing uses any longer.
  void run(PyObject* m) override {
    py::Ref bpy_data = py::attr(host(m), "data");
    if (object) {
      py::Ref animation = py::attr(object, "animation_data");
      py::Ref action = animation.is_none() ? py::none() : py::attr(animation, "action");
      if (!action.is_none()) py::call_method(py::attr(bpy_data, "actions"), "remove", action);
      py::call_method(py::attr(bpy_data, "objects"), "remove", std::exchange(object, py::Ref()));
    }
    if (data)
      py::call_method(py::attr(bpy_data, "cameras"), "remove", std::exchange(data, py::Ref()));
  }
};

// The camera, linked into the scene and keyed at frames first .. first + frames - 1.
void build_rig(PyObject* m, PyObject* scene, Rig& rig, const tavro::core::TurntablePlan& plan,
               long long first) {
  using Lens = tavro::core::TurntableLens;
  py::Ref bpy_data = py::attr(host(m), "data");
  rig.data = py::call_method(py::attr(bpy_data, "cameras"), "new", kRigName);
  py::set_attr(rig.data, "lens", py::real(Lens::kFocalMm));
  py::set_attr(rig.data, "sensor_width", py::real(Lens::kSensorMm));
  py::set_attr(rig.data, "sensor_fit", py::str("AUTO"));
  py::set_attr(rig.data, "clip_start", py::real(plan.clip_start));
  py::set_attr(rig.data, "clip_end", py::real(plan.clip_end));
  rig.object = py::call_method(py::attr(bpy_data, "objects"), "new", kRigName, rig.data);
  py::call_method(py::attr(py::attr(scene, "collection"), "objects"), "link", rig.object);
  py::set_attr(rig.object, "rotation_mode", py::str("XYZ"));
  py::Ref insert = py::attr(rig.object, "keyframe_insert");
  for (long long i = 0; i < plan.frames; ++i) {
    const tavro::core::Pose pose = tavro::core::turntable_pose(plan, i);
    py::set_attr(rig.object, "location", vector(pose.location));
    py::set_attr(rig.object, "rotation_euler", vector(pose.rotation));
    py::Ref at = py::kwargs({{"frame", py::integer(first + i)}});
    py::call_tuple(insert.get(), py::tuple("location"), at);
    py::call_tuple(insert.get(), py::tuple("rotation_euler"), at);
  }
}

// Timeline markers bound to cameras switch the scene's camera while an animation renders, which
// would cut away from the turntable: they are unbound for its render and bound again after.
struct MarkerBindings : Undo {
  std::vector<std::pair<py::Ref, py::Ref>> bound;  // marker, its camera

  void release(PyObject* scene) {
    for (const py::Ref& marker : py::iterate(py::attr(scene, "timeline_markers"))) {
      py::Ref camera = py::attr(marker, "camera");
      if (camera.is_none()) continue;
      bound.emplace_back(marker, camera);
      py::set_attr(marker, "camera", py::none());
    }
  }
  void run(PyObject*) override {
    for (auto& [marker, camera] : bound) py::set_attr(marker, "camera", camera);
    bound.clear();
  }
};

// The frame the user was on, which the render steps away from.
struct FrameBack : Undo {
  py::Ref scene, frame;
  FrameBack(PyObject* s, py::Ref f) : scene(py::Ref::borrow(s)), frame(std::move(f)) {}
  void run(PyObject*) override {
    if (!py::equals(py::attr(scene, "frame_current"), frame))
      py::call_method(scene, "frame_set", frame);
  }
};

// Adds `step` to the set-up's undo steps and returns it, for the set-up to fill in.
template <class Step, class... A>
Step& add_step(Staged& s, A&&... args) {
  auto step = std::make_unique<Step>(std::forward<A>(args)...);
  Step& added = *step;
  s.undo.push_back(std::move(step));
  return added;
}

Staged stage_turntable(PyObject* m, const py::Params& p) {
  PyObject* scene = p[0];
  py::Ref name = py::Ref::borrow(p.str_object(1));
  long long long_edge = p.integer(2), aspect_w = p.integer(3), aspect_h = p.integer(4);
  long long seconds = p.integer(5);
  auto [width, height] = checked_resolution(long_edge, aspect_w, aspect_h);
  if (seconds <= 0) py::raise(PyExc_ValueError, "转台时长必须为正");
  long long fps = py::integer_arg(config_value(m, "VIDEO_FPS").get(), "VIDEO_FPS");
  long long max_seconds =
      py::integer_arg(config_value(m, "MAX_VIDEO_SECONDS").get(), "MAX_VIDEO_SECONDS");
  // One turn over the whole video, however long it may be.
  auto range =
      tavro::core::clamp_frame_range(1, std::min(seconds, max_seconds + 1) * fps, fps, max_seconds);
  host(m);

  if (!py::truthy(name)) py::raise(PyExc_ValueError, "请先选择要展示的对象");
  py::Ref target = py::call_method(py::attr(scene, "objects"), "get", name);
  if (target.is_none()) py::raise(PyExc_ValueError, py::format("找不到对象：{}", name));
  std::vector<Vec3> corners = world_corners(m, target);
  if (!has_extent(corners))
    py::raise(PyExc_ValueError, py::format("对象没有可渲染的几何体：{}", name));
  auto plan = tavro::core::plan_turntable(corners, range.end - range.start + 1, width, height);

  py::Ref out_prefix = make_tmp_path(m, py::str(""));
  // The turn starts at the frame the user sees (frames count from 0 at the lowest), so an
  // animated scene starts as it stands.
  py::Ref current = py::attr(scene, "frame_current");
  long long first = std::max(0LL, py::integer_arg(current.get(), "frame_current"));
  return stage(m, [&](Staged& s) {
    s.scene = py::Ref::borrow(scene);
    s.out_prefix = out_prefix;
    s.width = width, s.height = height, s.frames = plan.frames;
    s.meta = video_meta(m, width, height, plan.frames, range.truncated);
    py::set_item(s.meta, "object", name);
    s.render_kwargs = py::kwargs({{"animation", py::boolean(true)}});
    add_step<FrameBack>(s, scene, current);
    Rig& rig = add_step<Rig>(s);
    build_rig(m, scene, rig, plan, first);
    add_step<MarkerBindings>(s).release(scene);
    guard_scene(s, scene);
    apply_workbench(m, scene, width, height);
    apply_video_output(m, scene, out_prefix);
    py::set_attr(scene, "camera", rig.object);
    caps::render_3d_view(scene);
    py::set_attr(scene, "frame_start", py::integer(first));
    py::set_attr(scene, "frame_end", py::integer(first + plan.frames - 1));
  });
}

}  // namespace

py::Ref render_turntable(PyObject* m, const py::Params& p) {
  return run_now(m, stage_turntable(m, p));
}

py::Ref stage_turntable_fn(PyObject* m, const py::Params& p) {
  return job_of(m, stage_turntable(m, p));
}

PY_EXPORT(render,
          py::function<"render_turntable", "scene, target, long_edge, aspect_w, aspect_h, seconds",
                       "One turn of a camera around the named object as a white-model H.264 MP4, "
                       "at most MAX_VIDEO_SECONDS: (path, meta).",
                       render_turntable>());

PY_EXPORT(render,
          py::function<"stage_turntable", "scene, target, long_edge, aspect_w, aspect_h, seconds",
                       "render_turntable set up to run as the host's render job: a RenderJob.",
                       stage_turntable_fn>());

}  // namespace render
