// The panel's drawing: the source choice, a box with that source's settings (with a live
// duration estimate for animations and turntables), the notice to restart Blender after an
// update, the send button, the wrapped status of the last send and the bridges still known with
// their state. Drawing only reads: it writes no property (but the buttons' own) and keeps nothing
// between redraws.
#include "ops.hpp"
#include "sources.hpp"

namespace ops {

using py::Ref;

namespace {

constexpr long long kStatusWidth = 34;

void prop(const Ref& layout, const Ref& props, const char* name, const char* text) {
  py::call_tuple(py::attr(layout, "prop").get(), py::tuple(props, name),
                 py::kwargs({{"text", py::str(text)}}));
}

void label(const Ref& layout, const Ref& text, const char* icon = nullptr) {
  Ref kw =
      icon ? py::kwargs({{"text", text}, {"icon", py::str(icon)}}) : py::kwargs({{"text", text}});
  py::call_tuple(py::attr(layout, "label").get(), py::tuple(), kw);
}

Ref aligned(const Ref& layout, const char* kind) {
  return py::call_tuple(py::attr(layout, kind).get(), py::tuple(),
                        py::kwargs({{"align", py::boolean(true)}}));
}

// "约 <seconds> 秒（上限 <max> 秒）" and its icon for a video of `seconds`.
void duration_label(PyObject* m, const Ref& box, const Ref& seconds) {
  Ref limit = py::attr(py::global(m, "config"), "MAX_VIDEO_SECONDS");
  bool over = py::greater(seconds, limit);
  label(box, py::format("约 {:.1f} 秒（上限 {} 秒）", seconds, py::int_of(limit)),
        over ? "ERROR" : "TIME");
}

// An animation's frame range counted at the add-on's output frame rate; a reversed range
// counts as the ordered one.
Ref range_seconds(PyObject* m, const Ref& props) {
  Ref start = py::attr(props, "frame_start");
  Ref end = py::attr(props, "frame_end");
  Ref frames = py::abs(end - start) + py::integer(1);
  return frames / py::attr(py::global(m, "config"), "VIDEO_FPS");
}

// The object a turntable goes round: the chosen one, or else what the send will take.
void target_row(const Ref& box, const Ref& props, PyObject* context) {
  prop(box, props, "target", "对象");
  if (py::truthy(py::attr(props, "target"))) return;
  Ref active = active_object(context);
  if (active.is_none())
    label(box, py::str("未选择对象，也没有活动对象"), "ERROR");
  else
    label(box, py::format("默认用活动对象：{}", py::attr(active, "name")), "OBJECT_DATA");
}

Ref button(const Ref& layout, const char* idname, const char* text, const char* icon,
           const Ref& bridge_id) {
  Ref op = py::call_tuple(py::attr(layout, "operator").get(), py::tuple(idname),
                          py::kwargs({{"text", py::str(text)}, {"icon", py::str(icon)}}));
  py::set_attr(op, "bridge", bridge_id);
  return op;
}

// One box per bridge, newest first: its kind and file name with the button that shows the file,
// its state in words, and while it serves, the buttons to open the page again and to stop it.
// The texts are short enough for the sidebar's default width.
void bridges(PyObject* m, const Ref& layout) {
  for (const BridgeRow& row : bridge_rows(m, kShownBridges)) {
    Ref id = py::attr(row.entry, "id");
    Ref column = aligned(py::call_method(layout.get(), "box"), "column");
    Ref head = aligned(column, "row");
    label(head, py::format("{} · {}", row.kind_label, py::attr(row.entry, "name")), row.kind_icon);
    button(head, "lumo.show_asset_file", "", "FILEBROWSER", id);
    label(column, row.text, row.icon);
    if (!row.alive) continue;
    Ref buttons = aligned(column, "row");
    button(buttons, "lumo.open_import_page", "打开导入页", "URL", id);
    button(buttons, "lumo.stop_bridge", "停止", "CANCEL", id);
  }
}

// After an update under the running session, what the user must do before sending again: one
// line per clause, each short enough for the sidebar's default width.
void restart_rows(PyObject* m, const Ref& layout) {
  Ref notice = restart_notice(m);
  if (notice.is_none()) return;
  Ref lines = py::call_method(notice.get(), "replace", "，", "，\n");
  lines = py::call_method(lines.get(), "replace", "（", "\n（");
  Ref column = aligned(layout, "column");
  const char* icon = "ERROR";
  for (const Ref& line : py::iterate(py::call_method(lines.get(), "splitlines"))) {
    label(column, line, icon);
    icon = "BLANK1";  // the next lines start where the first one's text does
  }
}

}  // namespace

Ref draw_panel(PyObject* m, const py::Params& p) {
  Ref layout = py::attr(p[0], "layout");
  Ref props = py::attr(py::attr(p[1], "scene"), "lumo_uploader");

  prop(layout, props, "source", "");
  Ref box = py::call_method(layout.get(), "box");
  // A value that no row holds shows the camera settings alone.
  const Source* source = find_source(py::attr(props, "source").get());
  if (source && source->input == Input::video_file) {
    prop(box, props, "video_path", "文件");
    Ref fps = py::int_of(py::attr(py::global(m, "config"), "VIDEO_FPS"));
    label(box, py::format("将统一转为 {} fps H.264", fps), "INFO");
  } else {
    const bool object = source && source->input == Input::object;
    if (object) {
      target_row(box, props, p[1]);
      prop(box, props, "turntable_others", "包含场景中的其他对象");
    } else
      prop(box, props, "camera", "相机");
    Ref row = aligned(box, "row");
    prop(row, props, "resolution", "");
    prop(row, props, "aspect", "");
    if (object) {
      prop(box, props, "turntable_seconds", "时长（秒）");
      duration_label(m, box, py::attr(props, "turntable_seconds"));
    } else if (source && source->frame_range) {
      Ref frames = aligned(box, "row");
      prop(frames, props, "frame_start", "起始");
      prop(frames, props, "frame_end", "结束");
      duration_label(m, box, range_seconds(m, props));
    }
  }

  py::call_method(layout.get(), "separator");
  if (Ref rendering = render_job_text(m)) {
    // While the send renders: how far, and how to stop it. The interface is locked for the
    // render, and the host then offers no ✕ (its status bar's nor a panel's): Esc stops it.
    Ref column = aligned(layout, "column");
    label(column, rendering, "RENDER_ANIMATION");
    label(column, py::str("按 Esc 停止渲染"), "CANCEL");
  } else {
    restart_rows(m, layout);
    py::call_tuple(py::attr(layout, "operator").get(), py::tuple("lumo.send_to_canvas"),
                   py::kwargs({{"icon", py::str("EXPORT")}}));
  }

  Ref status = py::attr(props, "status");
  if (py::truthy(status.get())) {
    py::call_method(layout.get(), "separator");
    Ref column = aligned(layout, "column");
    if (!py::is_str(status.get()))
      py::raise(PyExc_TypeError,
                py::format("text must be str, not {}", py::type_name(status.get())));
    for (const Ref& piece : py::iterate(wrap_text(status.get(), kStatusWidth)))
      label(column, piece);
  }
  bridges(m, layout);
  return py::none();
}

PY_EXPORT(ops,
          py::function<"draw_panel", "panel, context", "Draw the add-on's panel.", draw_panel>());

}  // namespace ops
