// Feeds arbitrary bytes to the request-head parser and the protocol's answer, as a client on
// the socket could: nothing may crash, hang or leak, and every answer is a complete HTTP/1.0 head.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/protocol.hpp"
#include "net/target.hpp"

namespace http = boost::beast::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const tavro::net::Job job = [] {
    tavro::net::Job j;
    j.file_path = "/nonexistent/fuzz.png";
    j.token = "tok";
    j.origin = "http://127.0.0.1:1";
    j.mime = "image/png";
    j.meta_head = "{\"size\": ";
    j.meta_tail = "}";
    j.created_at = 0;
    j.ttl_seconds = 1e18;
    return j;
  }();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The target helpers on raw input.
  (void)tavro::net::route_of(input);
  (void)tavro::net::token_of(input);

  http::request_parser<http::empty_body> parser;
  parser.header_limit(64 * 1024);
  parser.eager(false);
  boost::beast::error_code ec;
  size_t used = parser.put(boost::asio::buffer(data, size), ec);
  (void)used;
  if (!ec && parser.is_header_done()) {
    const auto& req = parser.get();
    auto reply = tavro::net::respond(
        job, std::string_view(req.method_string().data(), req.method_string().size()),
        std::string_view(req.target().data(), req.target().size()), 1.0);
    if (reply.bytes.rfind("HTTP/1.0 ", 0) != 0 || reply.bytes.find("\r\n\r\n") == std::string::npos)
      std::abort();
  }
  return 0;
}
