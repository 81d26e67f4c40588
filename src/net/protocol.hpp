// The bridge's HTTP answers, as bytes, without sockets: what to send for one request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "event.hpp"
#include "stats.hpp"

namespace tavro::net {

// Everything one job serves, fixed when the bridge starts.
struct Job {
  std::string file_path;  // UTF-8
  std::string token;      // the job's one-time token
  std::string origin;     // the one origin admitted for cross-origin reads
  std::string mime;       // Content-Type of /asset
  // The /meta body is meta_head + decimal size (measured at each request) + meta_tail.
  std::string meta_head;
  std::string meta_tail;
  double created_at = 0;             // wall clock, seconds since the Unix epoch
  double ttl_seconds = 1800;         // expired once now - created_at > ttl_seconds
  double head_timeout_seconds = 10;  // a request head must arrive within this time
  std::shared_ptr<Event> done;
  std::shared_ptr<Stats> stats = std::make_shared<Stats>();  // counted by the server
};

// What the connection writes for one request.
struct Reply {
  std::string bytes;         // status line, headers, blank line and any body
  bool stream_file = false;  // then send `file_size` bytes of the job's file
  std::uint64_t file_size = 0;
  bool set_done = false;  // set the job's done event once `bytes` are written
  bool meta = false;      // a /meta answered 200, counted in the job's stats
};

// The answer to one parsed request head. `now` is the wall clock.
Reply respond(const Job& job, std::string_view method, std::string_view target, double now);

// The answer when the file of an /asset request cannot be opened after its size was taken.
std::string gone(const Job& job);

// The HTTP layer's own errors, without the CORS block.
std::string bad_request();      // 400: a malformed request
std::string too_large();        // 431: request head over its limits
std::string not_implemented();  // 501: a method other than GET, POST, OPTIONS

// Seconds since the Unix epoch.
double wall_clock();

}  // namespace tavro::net
