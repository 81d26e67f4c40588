// The origin policy and `serve`: everything that needs Python happens here, on the caller's
// thread, before the native server starts. Once `serve` returns, no bridge thread touches
// Python again.
#include <cstdint>
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
  py::Ref dumps = py::attr(py::import("json"), "dumps");
  py::Ref options = py::kwargs({{"ensure_ascii", py::boolean(false)}});
  py::Ref copy = py::dict_of(s.meta.get());
  py::Ref size_key = py::str("size");
  py::set_item(copy, "kind", s.kind);
  py::set_item(copy, "filename", filename);
  py::set_item(copy, "size", py::integer(0));
  py::set_item(copy, "mime", mime);

  std::string head = "{", tail;
  bool after_size = false, first = true;
  for (const auto& [key, value] : py::items(copy)) {
    // One member exactly as json.dumps writes it inside the whole object.
    py::Ref single = py::dict();
    py::set_item(single, key, value);
    std::string member = py::utf8(py::call_tuple(dumps.get(), py::tuple(single), options));
    member = member.substr(1, member.size() - 2);
    std::string& out = after_size ? tail : head;
    if (!first) out += ", ";
    first = false;
    if (py::is_str(key.get()) && py::equals(key, size_key)) {
      head += member.substr(0, member.size() - 1);  // drop the placeholder digit
      after_size = true;
    } else {
      out += member;
    }
  }
  tail += "}";
  return {head, tail};
}

py::Ref server_shutdown(PyObject* self, const py::Params&) {
  auto server = py::native<ServerHandle>(self).server;
  py::without_gil([&] { server->shutdown(); });
  return py::none();
}

py::Ref server_close(PyObject* self, const py::Params&) {
  py::native<ServerHandle>(self).server->server_close();
  return py::none();
}

// A snapshot of what the server has served: plain numbers read without a lock, so the host
// may poll it from its interface thread while transfers run.
py::Ref server_stats(PyObject* self, const py::Params&) {
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

py::Ref server_address(PyObject* self) {
  auto& h = py::native<ServerHandle>(self);
  return py::tuple(h.host, static_cast<long long>(h.server->port()));
}

PyMethodDef kServerMethods[] = {
    py::method<"shutdown", "", "Stop the accept loop and wait until it has ended.",
               server_shutdown>(),
    py::method<"server_close", "", "Close the listening socket.", server_close>(),
    py::method<"stats", "",
               "What the bridge has served so far: requests, meta_requests, asset_requests, "
               "asset_bytes, asset_size, done, closed.",
               server_stats>(),
    py::end_of_table(),
};

PyGetSetDef kServerFields[] = {
    {"server_address", &py::getter<server_address>, nullptr, "(host, port) the server is bound to.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

py::Ref make_server_type(PyObject* m) {
  return py::new_type(m, py::native_type<ServerHandle>("tavro_blender_uploader.bridge.Server",
                                                       "A running bridge server; it closes itself.",
                                                       kServerMethods, kServerFields));
}

std::string origin_of(const py::Ref& site_url) {
  py::Ref parts = py::call(py::attr(py::import("urllib.parse"), "urlsplit"), site_url);
  py::Ref scheme = py::attr(parts, "scheme"), netloc = py::attr(parts, "netloc");
  if (!py::truthy(scheme) || !py::truthy(netloc))
    py::raise(PyExc_ValueError, py::format("站点地址必须是绝对 URL：{}", site_url));
  return py::utf8(scheme) + "://" + py::utf8(netloc);
}

py::Ref allowed_origin(PyObject*, const py::Params& p) {
  return py::str(origin_of(py::Ref::borrow(p.str_object(0))));
}

PY_EXPORT(
    bridge,
    py::function<"allowed_origin", "site_url",
                 "The one origin admitted for cross-origin reads: scheme://netloc of site_url.",
                 allowed_origin>());

py::Ref serve(PyObject* m, const py::Params& p) {
  PyObject* site_url = p.str_object(1);
  std::string origin = origin_of(py::Ref::borrow(site_url));
  State* s = py::native_if<State>(p[0], types(m).state);
  if (s == nullptr)
    py::raise(PyExc_TypeError,
              py::format("state must be a BridgeState, not {}", py::type_name(p[0])));

  auto job = std::make_shared<tavro::net::Job>();
  job->file_path = py::utf8(s->file_path.get());
  job->token = s->token_text;
  job->origin = origin;
  py::Ref guessed = py::call(py::attr(py::import("mimetypes"), "guess_type"), s->file_path);
  py::Ref type = py::item(guessed, 0);
  py::Ref mime = py::truthy(type) ? type : py::str("application/octet-stream");
  job->mime = py::utf8(mime);
  py::Ref filename =
      py::call(py::attr(py::attr(py::import("os"), "path"), "basename"), s->file_path);
  std::tie(job->meta_head, job->meta_tail) = meta_template(*s, filename, mime);
  job->created_at = s->created;
  py::Ref config = py::global(m, "config");
  job->ttl_seconds = py::to_double(py::attr(config, "BRIDGE_TTL_SECONDS"));
  job->done = s->event;
  std::string host = py::utf8(py::attr(config, "BRIDGE_HOST"));

  // Binding and starting the threads take no Python state, so the GIL is let go meanwhile.
  auto server =
      py::without_gil([&] { return tavro::net::Server::start(host, job, job->ttl_seconds); });
  py::Ref handle =
      py::make_instance<ServerHandle>(types(m).server, ServerHandle{server, host, job->stats});
  return py::tuple(handle, static_cast<long long>(server->port()));
}

PY_EXPORT(bridge,
          py::function<"serve", "state, site_url",
                       "Start the bridge for one job; returns (server, port) once it is listening.",
                       serve>());

}  // namespace bridge
