// Turntable render: one turn of a camera of the module's own around an object, as a
// white-model H.264 video. The camera is keyed at every frame with the pose the core works out,
// so no interpolation setting (which the hosts keep in different places) matters, and it is
// removed with its data and action afterwards; the object itself is never touched. Unless the
// caller asks for the surroundings, the render shows the object and its children alone.
#include "core/turntable.hpp"

#include <algorithm>
#include <exception>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/geometry.hpp"
#include "render.hpp"

namespace render {
namespace {

using tavro::core::Vec3;

// Object types whose bounding box is something the render shows.
constexpr std::string_view kGeometryTypes[] = {"MESH",    "CURVE",       "SURFACE",    "META",
                                               "FONT",    "CURVES",      "POINTCLOUD", "VOLUME",
                                               "GPENCIL", "GREASEPENCIL"};
// Object types that show nothing in a render themselves, left as they are when the surroundings
// are hidden: lights keep lighting the model in the engines that use them (Workbench lights it
// with its own studio light).
constexpr std::string_view kUnseenTypes[] = {"LIGHT", "LIGHT_PROBE", "CAMERA", "SPEAKER"};
constexpr const char* kRigName = "Tavro 转台相机";

bool type_in(const py::Ref& object, std::span<const std::string_view> types) {
  const std::string type = py::text_of(py::attr(object, "type").get());
  return std::find(types.begin(), types.end(), type) != types.end();
}

// The target and its descendants: what the turntable frames, and by default all it shows.
py::Ref family_of(const py::Ref& target) {
  py::Ref family = py::set_of(target);
  for (const py::Ref& child : py::iterate(py::attr(target, "children_recursive")))
    py::call_method(family, "add", child);
  return family;
}

double number(const py::Ref& seq, Py_ssize_t i) { return py::to_double(py::item(seq, i)); }

// The world-space corners of the bounding boxes of the family's members that have geometry, as
// the host evaluates them now (modifiers included).
std::vector<Vec3> world_corners(PyObject* m, const py::Ref& family) {
  py::Ref depsgraph = py::call_method(py::attr(host(m), "context"), "evaluated_depsgraph_get");
  std::vector<Vec3> corners;
  for (const py::Ref& object : py::iterate(family)) {
    if (!type_in(object, kGeometryTypes)) continue;
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

// Values of the user's data changed for one render, each kept with the value it replaced and put
// back newest first. A write the host rejects does not keep the others from going back: the
// first such error is raised once the rest are restored.
class Changes : public Undo {
 public:
  void set(const py::Ref& owner, const char* name, const py::Ref& value) {
    saved_.push_back({owner, name, py::attr(owner, name)});
    py::set_attr(owner, name, value);
  }
  void run(PyObject*) override {
    std::exception_ptr first;
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      try {
        py::set_attr(it->owner, it->name, it->value);
      } catch (py::Error&) {
        if (!first) first = std::current_exception();
      }
    }
    saved_.clear();
    if (first) std::rethrow_exception(first);
  }

 private:
  struct Saved {
    py::Ref owner;
    const char* name;
    py::Ref value;
  };
  std::vector<Saved> saved_;
};

// Timeline markers bound to cameras switch the scene's camera while an animation renders, which
// would cut away from the turntable: they are unbound for its render.
void unbind_markers(PyObject* scene, Changes& changes) {
  py::Ref markers = py::attr(scene, "timeline_markers");
  for (const py::Ref& marker : py::iterate(markers))
    if (!py::attr(marker, "camera").is_none()) changes.set(marker, "camera", py::none());
}

// Everything of the scene that the render would show besides the family is hidden from it: the
// other objects (an object the user hid already is left alone; an instancer hidden takes its
// instances along) and the objects of the background scenes, which the render draws too.
void hide_surroundings(PyObject* scene, const py::Ref& family, Changes& changes) {
  for (const py::Ref& object : py::iterate(py::attr(scene, "objects"))) {
    if (py::contains(family, object) || type_in(object, kUnseenTypes)) continue;
    if (!py::truthy(py::attr(object, "hide_render")))
      changes.set(object, "hide_render", py::boolean(true));
  }
  if (!py::attr(scene, "background_set").is_none())
    changes.set(py::Ref::borrow(scene), "background_set", py::none());
}

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
  const bool include_others = p.given(6) && py::truthy(p[6]);
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
  py::Ref family = family_of(target);
  std::vector<Vec3> corners = world_corners(m, family);
  if (!has_extent(corners))
    py::raise(PyExc_ValueError, py::format("对象没有可渲染的几何体：{}", name));
  auto plan = tavro::core::plan_turntable(corners, range.end - range.start + 1, width, height);

  RenderOutput output(m, make_tmp_path(m, py::str("")), {width, height, plan.frames});
  // The turn starts at the frame the user sees (frames count from 0 at the lowest), so an
  // animated scene starts as it stands.
  py::Ref current = py::attr(scene, "frame_current");
  long long first = std::max(0LL, py::integer_arg(current.get(), "frame_current"));
  return stage(m, [&](Staged& s) {
    s.scene = py::Ref::borrow(scene);
    s.output = output;
    s.meta = video_meta(m, width, height, plan.frames, range.truncated);
    py::set_item(s.meta, "object", name);
    s.render_kwargs = py::kwargs({{"animation", py::boolean(true)}});
    add_step<FrameBack>(s, scene, current);
    // The user's values come back after the camera is removed, and even when that fails.
    Changes& changes = add_step<Changes>(s);
    if (!include_others) hide_surroundings(scene, family, changes);
    Rig& rig = add_step<Rig>(s);
    build_rig(m, scene, rig, plan, first);
    unbind_markers(scene, changes);
    set_up_white_video(m, s, scene, rig.object, first, first + plan.frames - 1);
  });
}

}  // namespace

py::Ref render_turntable(PyObject* m, const py::Params& p) {
  return run_now(m, stage_turntable(m, p));
}

py::Ref stage_turntable_fn(PyObject* m, const py::Params& p) {
  return job_of(m, stage_turntable(m, p));
}

PY_EXPORT(
    render,
    py::function<"render_turntable",
                 "scene, target, long_edge, aspect_w, aspect_h, seconds, include_others=False",
                 "One turn of a camera around the named object as a white-model H.264 MP4, "
                 "at most MAX_VIDEO_SECONDS, showing the object and its children alone "
                 "unless include_others: (path, meta).",
                 render_turntable>());

PY_EXPORT(
    render,
    py::function<"stage_turntable",
                 "scene, target, long_edge, aspect_w, aspect_h, seconds, include_others=False",
                 "render_turntable set up to run as the host's render job: a RenderJob.",
                 stage_turntable_fn>());

}  // namespace render
