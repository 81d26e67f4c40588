// Feeds arbitrary bytes to the request-head parser and the protocol's answer, as a client on
// the socket could: nothing may crash, hang or leak, and every answer is a complete HTTP/1.0 head.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/head.hpp"
#include "net/protocol.hpp"
#include "net/target.hpp"

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

  // The head as the server reads it, arriving in two pieces split where the first byte says.
  tavro::net::HeadReader head;
  const size_t cut = size == 0 ? 0 : data[0] % size;
  const char* bytes = reinterpret_cast<const char*>(data);
  auto state = head.add(bytes, cut);
  if (state == tavro::net::HeadReader::State::More) state = head.add(bytes + cut, size - cut);
  if (state == tavro::net::HeadReader::State::Ok) {
    const auto& req = head.request();
    auto reply = tavro::net::respond(
        job, std::string_view(req.method_string().data(), req.method_string().size()),
        std::string_view(req.target().data(), req.target().size()), 1.0);
    if (reply.bytes.rfind("HTTP/1.0 ", 0) != 0 || reply.bytes.find("\r\n\r\n") == std::string::npos)
      std::abort();
  }
  return 0;
}
