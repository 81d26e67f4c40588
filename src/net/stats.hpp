// What one bridge has served so far. The bridge's own threads count with relaxed atomics (no
// locks on the hot path); the host reads a snapshot at any time, for example to show the job's
// progress in its interface while the bridge works.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavro::net {

struct StatsSnapshot {
  std::uint64_t requests = 0;        // requests answered, any path and status
  std::uint64_t meta_requests = 0;   // /meta answered 200: the page has connected
  std::uint64_t asset_requests = 0;  // /asset answers that began sending the file
  std::uint64_t asset_bytes = 0;     // /asset body bytes written so far, over all answers
  std::uint64_t asset_size = 0;      // the file's size at the latest /asset answer
  bool done = false;                 // a /done was accepted
  bool closed = false;               // the listening socket is closed: the port refuses
  std::uint64_t connections = 0;     // connections open now (accepted, not yet closed)
  std::uint64_t evicted = 0;         // connections ended to make room for newer ones
};

struct Stats {
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> meta_requests{0};
  std::atomic<std::uint64_t> asset_requests{0};
  std::atomic<std::uint64_t> asset_bytes{0};
  std::atomic<std::uint64_t> asset_size{0};
  std::atomic<bool> done{false};
  std::atomic<bool> closed{false};
  std::atomic<std::uint64_t> connections{0};
  std::atomic<std::uint64_t> evicted{0};

  StatsSnapshot snapshot() const {
    constexpr auto r = std::memory_order_relaxed;
    return {requests.load(r),   meta_requests.load(r), asset_requests.load(r),
            asset_bytes.load(r), asset_size.load(r),    done.load(r),
            closed.load(r),     connections.load(r),   evicted.load(r)};
  }
};

}  // namespace tavro::net
