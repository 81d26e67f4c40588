// The origin policy and `serve`: everything that needs Python happens here, on the caller's
// thread, before the native server starts. Once `serve` returns, no bridge thread touches
// Python again.
#include <string>
#include <utility>

#include "bridge.hpp"
#include "net/server.hpp"

namespace bridge {
namespace {

// The /meta body around the size: the metadata copy as json.dumps(copy, ensure_ascii=False)
// writes it, with kind, filename, size and mime added or replaced in place, split where the
// size measured at each request goes.
std::pair<std::string, std::string> meta_template(const State& s, const py::Ref& filename,
                                                  const py::Ref& mime) {
  py::Ref json = py::import("json");
  py::Ref dumps = py::attr(json, "dumps");
  py::Ref options = py::kwargs({{"ensure_ascii", py::boolean(false)}});
  py::Ref copy = py::call(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)), s.meta);
  py::Ref size_key = py::str("size");
  py::set_item(copy, "kind", s.kind);
  py::set_item(copy, "filename", filename);
  py::set_item(copy, "size", py::integer(0));
  py::set_item(copy, "mime", mime);

  std::string head = "{", tail;
  bool after_size = false, first = true;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(copy.get(), &pos, &key, &value)) {
    // One member exactly as json.dumps writes it inside the whole object.
    py::Ref single = py::dict();
    if (PyDict_SetItem(single.get(), key, value) < 0) py::throw_pending();
    std::string member = py::utf8(py::call_tuple(dumps.get(), py::tuple(single), options).get());
    member = member.substr(1, member.size() - 2);
    std::string& out = after_size ? tail : head;
    if (!first) out += ", ";
    first = false;
    if (PyUnicode_Check(key) && py::equals(key, size_key.get())) {
      head += member.substr(0, member.size() - 1);  // drop the placeholder digit
      after_size = true;
    } else {
      out += member;
    }
  }
  tail += "}";
  return {head, tail};
}

py::Ref server_shutdown(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("shutdown", args, kwargs, {});
  auto server = py::native<ServerHandle>(self).server;
  Py_BEGIN_ALLOW_THREADS server->shutdown();
  Py_END_ALLOW_THREADS return py::none();
}

py::Ref server_close(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("server_close", args, kwargs, {});
  py::native<ServerHandle>(self).server->server_close();
  return py::none();
}

// A snapshot of what the server has served: plain numbers read without a lock, so the host
// may poll it from its interface thread while transfers run.
py::Ref server_stats(PyObject* self, PyObject* args, PyObject* kwargs) {
  py::Params p("stats", args, kwargs, {});
  tavro::net::StatsSnapshot s = py::native<ServerHandle>(self).stats->snapshot();
  py::Ref out = py::dict();
  auto count = [](std::uint64_t n) { return py::integer(static_cast<long long>(n)); };
  py::set_item(out, "requests", count(s.requests));
  py::set_item(out, "meta_requests", count(s.meta_requests));
  py::set_item(out, "asset_requests", count(s.asset_requests));
  py::set_item(out, "asset_bytes", count(s.asset_bytes));
  py::set_item(out, "asset_size", count(s.asset_size));
  py::set_item(out, "done", py::boolean(s.done));
  py::set_item(out, "closed", py::boolean(s.closed));
  return out;
}

PyObject* server_address(PyObject* self, void*) noexcept {
  return py::guard([&] {
    auto& h = py::native<ServerHandle>(self);
    return py::tuple(h.host, static_cast<long long>(h.server->port()));
  });
}

PyMethodDef kServerMethods[] = {
    PY_FUNCTION("shutdown", server_shutdown,
                "shutdown($self, /)\n--\n\nStop the accept loop and wait until it has ended."),
    PY_FUNCTION("server_close", server_close,
                "server_close($self, /)\n--\n\nClose the listening socket."),
    PY_FUNCTION("stats", server_stats,
                "stats($self, /)\n--\n\nWhat the bridge has served so far: requests, "
                "meta_requests, asset_requests, asset_bytes, asset_size, done, closed."),
    PY_FUNCTIONS_END,
};

PyGetSetDef kServerFields[] = {
    {"server_address", &server_address, nullptr, "(host, port) the server is bound to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kServerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&py::dealloc<ServerHandle>)},
    {Py_tp_methods, kServerMethods},
    {Py_tp_getset, kServerFields},
    {Py_tp_doc, const_cast<char*>("A running bridge server; it closes itself.")},
    {0, nullptr},
};

PyType_Spec kServerSpec = {"tavro_blender_uploader.bridge.Server",
                           static_cast<int>(sizeof(py::Instance<ServerHandle>)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kServerSlots};

}  // namespace

py::Ref make_server_type(PyObject* m) { return py::new_type(m, &kServerSpec); }

std::string origin_of(const py::Ref& site_url) {
  py::Ref parts = py::call(py::attr(py::import("urllib.parse"), "urlsplit"), site_url);
  py::Ref scheme = py::attr(parts, "scheme"), netloc = py::attr(parts, "netloc");
  if (!py::truthy(scheme.get()) || !py::truthy(netloc.get()))
    py::raise(PyExc_ValueError, "站点地址必须是绝对 URL：" + py::utf8(site_url.get()));
  return py::utf8(scheme.get()) + "://" + py::utf8(netloc.get());
}

py::Ref allowed_origin(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Params p("allowed_origin", args, kwargs, {"site_url"});
  return py::str(origin_of(py::Ref::borrow(p.str_object(0))));
}

py::Ref serve(PyObject* m, PyObject* args, PyObject* kwargs) {
  py::Params p("serve", args, kwargs, {"state", "site_url"});
  PyObject* site_url = p.str_object(1);
  std::string origin = origin_of(py::Ref::borrow(site_url));
  State* s = state_of(m, p[0]);
  if (s == nullptr)
    py::raise(PyExc_TypeError, "state must be a BridgeState, not " + py::type_name(p[0]));

  auto job = std::make_shared<tavro::net::Job>();
  job->file_path = py::utf8(s->file_path.get());
  job->token = s->token_text;
  job->origin = origin;
  py::Ref guessed = py::call(py::attr(py::import("mimetypes"), "guess_type"), s->file_path);
  PyObject* type = PyTuple_GetItem(guessed.get(), 0);
  if (type == nullptr) py::throw_pending();
  py::Ref mime = py::truthy(type) ? py::Ref::borrow(type) : py::str("application/octet-stream");
  job->mime = py::utf8(mime.get());
  py::Ref filename =
      py::call(py::attr(py::attr(py::import("os"), "path"), "basename"), s->file_path);
  std::tie(job->meta_head, job->meta_tail) = meta_template(*s, filename, mime);
  job->created_at = s->created;
  py::Ref config = py::global(m, "config");
  job->ttl_seconds = py::to_double(py::attr(config, "BRIDGE_TTL_SECONDS").get());
  job->done = s->event;
  std::string host = py::utf8(py::attr(config, "BRIDGE_HOST").get());

  // Binding and starting the threads take no Python state, so the GIL is let go meanwhile.
  std::shared_ptr<tavro::net::Server> server;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS try {
    server = tavro::net::Server::start(host, job, job->ttl_seconds);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);

  py::Ref server_type = py::global(m, "_Server");
  py::Ref handle = py::make_instance<ServerHandle>(
      reinterpret_cast<PyTypeObject*>(server_type.get()), ServerHandle{server, host, job->stats});
  return py::tuple(handle, static_cast<long long>(server->port()));
}

}  // namespace bridge
