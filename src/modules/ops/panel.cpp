// The panel's drawing: the source choice, a box with that source's settings (with a live
// duration estimate for animations), the send button, the wrapped status of the last send and
// the bridges still known with their state. Drawing only reads: it writes no property (but the
// buttons' own) and keeps nothing between redraws.
#include <string>

#include "ops.hpp"

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

bool is(PyObject* props, const char* source) {
  return py::equals(py::attr(props, "source").get(), py::str(source).get());
}

// "约 <seconds> 秒（上限 <max> 秒）" and its icon for an animation's frame range, counted at the
// add-on's output frame rate; a reversed range counts as the ordered one.
void duration_label(PyObject* m, const Ref& box, const Ref& props) {
  Ref start = py::attr(props, "frame_start");
  Ref end = py::attr(props, "frame_end");
  Ref span =
      Ref::steal(PyNumber_Absolute(Ref::steal(PyNumber_Subtract(end.get(), start.get())).get()));
  Ref frames = Ref::steal(PyNumber_Add(span.get(), py::integer(1).get()));
  Ref config = py::global(m, "config");
  Ref seconds = Ref::steal(PyNumber_TrueDivide(frames.get(), py::attr(config, "VIDEO_FPS").get()));
  Ref limit = py::attr(config, "MAX_VIDEO_SECONDS");
  int over = PyObject_RichCompareBool(seconds.get(), limit.get(), Py_GT);
  if (over < 0) py::throw_pending();
  Ref text = concat(py::str("约 "), format(seconds, ".1f"));
  text = concat(text, py::str(" 秒（上限 "));
  text = concat(text, whole(limit));
  label(box, concat(text, py::str(" 秒）")), over ? "ERROR" : "TIME");
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
    label(head, concat(py::str(std::string(row.kind_label) + " · "), py::attr(row.entry, "name")),
          row.kind_icon);
    button(head, "lumo.show_asset_file", "", "FILEBROWSER", id);
    label(column, row.text, row.icon);
    if (!row.alive) continue;
    Ref buttons = aligned(column, "row");
    button(buttons, "lumo.open_import_page", "打开导入页", "URL", id);
    button(buttons, "lumo.stop_bridge", "停止", "CANCEL", id);
  }
}

}  // namespace

Ref draw_panel(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("draw_panel", args, kwargs, {"panel", "context"});
  Ref layout = py::attr(p[0], "layout");
  Ref props = py::attr(py::attr(p[1], "scene"), "lumo_uploader");

  prop(layout, props, "source", "");
  Ref box = py::call_method(layout.get(), "box");
  if (is(props.get(), "VIDEO")) {
    prop(box, props, "video_path", "文件");
    Ref fps = whole(py::attr(py::global(m, "config"), "VIDEO_FPS"));
    label(box, concat(concat(py::str("将统一转为 "), fps), py::str(" fps H.264")), "INFO");
  } else {
    prop(box, props, "camera", "相机");
    Ref row = aligned(box, "row");
    prop(row, props, "resolution", "");
    prop(row, props, "aspect", "");
    if (is(props.get(), "ANIMATION")) {
      Ref frames = aligned(box, "row");
      prop(frames, props, "frame_start", "起始");
      prop(frames, props, "frame_end", "结束");
      duration_label(m, box, props);
    }
  }

  py::call_method(layout.get(), "separator");
  py::call_tuple(py::attr(layout, "operator").get(), py::tuple("lumo.send_to_canvas"),
                 py::kwargs({{"icon", py::str("EXPORT")}}));

  Ref status = py::attr(props, "status");
  if (py::truthy(status.get())) {
    py::call_method(layout.get(), "separator");
    Ref column = aligned(layout, "column");
    if (!PyUnicode_Check(status.get()))
      py::raise(PyExc_TypeError, "text must be str, not " + py::type_name(status.get()));
    Ref pieces = wrap_text(status.get(), kStatusWidth);
    for (Py_ssize_t i = 0, n = PyList_Size(pieces.get()); i < n; ++i)
      label(column, Ref::borrow(PyList_GetItem(pieces.get(), i)));
  }
  bridges(m, layout);
  return py::none();
}

}  // namespace ops
