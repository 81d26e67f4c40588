#include "protocol.hpp"

#include <chrono>

#include "file.hpp"
#include "target.hpp"
#include "token.hpp"

namespace tavro::net {
namespace {

constexpr std::string_view kJson = "application/json; charset=utf-8";

std::string status_line(int code) {
  switch (code) {
    case 200:
      return "HTTP/1.0 200 OK\r\n";
    case 204:
      return "HTTP/1.0 204 No Content\r\n";
    case 400:
      return "HTTP/1.0 400 Bad Request\r\n";
    case 404:
      return "HTTP/1.0 404 Not Found\r\n";
    case 410:
      return "HTTP/1.0 410 Gone\r\n";
    case 431:
      return "HTTP/1.0 431 Request Header Fields Too Large\r\n";
    default:
      return "HTTP/1.0 501 Not Implemented\r\n";
  }
}

// Status line and the CORS block, which leads every answer of the protocol itself.
std::string head_with_cors(int code, const Job& job) {
  std::string h = status_line(code);
  h += "Access-Control-Allow-Origin: " + job.origin + "\r\n";
  h += "Access-Control-Allow-Headers: Content-Type\r\n";
  h += "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n";
  h += "Access-Control-Allow-Private-Network: true\r\n";
  return h;
}

std::string json_reply(int code, const Job& job, std::string_view body) {
  std::string r = head_with_cors(code, job);
  r += "Content-Type: ";
  r += kJson;
  r += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  r += body;
  return r;
}

std::string not_found(const Job& job) { return json_reply(404, job, R"({"error": "not found"})"); }

std::string layer_error(int code, std::string_view text) {
  std::string body = "Error " + std::to_string(code) + ": " + std::string(text) + "\n";
  return status_line(code) + "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Token first; the expiry only when the token matched.
bool authorised(const Job& job, std::string_view target, double now) {
  if (!token_matches(job.token, token_of(target))) return false;
  return !(now - job.created_at > job.ttl_seconds);
}

}  // namespace

double wall_clock() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string gone(const Job& job) { return json_reply(410, job, R"({"error": "asset gone"})"); }
std::string bad_request() { return layer_error(400, "Bad request"); }
std::string too_large() { return layer_error(431, "Request header fields too large"); }
std::string not_implemented() { return layer_error(501, "Unsupported method"); }

Reply respond(const Job& job, std::string_view method, std::string_view target, double now) {
  Reply r;
  if (method == "OPTIONS") {
    r.bytes = head_with_cors(204, job) + "Content-Length: 0\r\n\r\n";
    return r;
  }
  if (method != "GET" && method != "POST") {
    r.bytes = not_implemented();
    return r;
  }
  const std::string route = route_of(target);
  if (method == "POST") {
    if (route != "/done" || !authorised(job, target, now)) {
      r.bytes = not_found(job);
      return r;
    }
    r.bytes = json_reply(200, job, R"({"ok": true})");
    r.set_done = true;
    return r;
  }
  if ((route != "/meta" && route != "/asset") || !authorised(job, target, now)) {
    r.bytes = not_found(job);
    return r;
  }
  auto size = file_size(job.file_path);
  if (!size) {
    r.bytes = gone(job);
    return r;
  }
  if (route == "/meta") {
    r.bytes = json_reply(200, job, job.meta_head + std::to_string(*size) + job.meta_tail);
    r.meta = true;
    return r;
  }
  r.bytes = head_with_cors(200, job) + "Content-Type: " + job.mime +
            "\r\nContent-Length: " + std::to_string(*size) + "\r\n\r\n";
  r.stream_file = true;
  r.file_size = *size;
  return r;
}

}  // namespace tavro::net
