// The open connections of one server, bounded in number. When the table is full, the connection
// stuck longest makes room for a new one: one still without a complete request head, or one
// whose answer has not moved for a while (its client stopped reading). A hostile client can
// therefore hold at most a table's worth of threads and descriptors, and never keep a page's
// request out for longer than it takes to accept it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "socket_io.hpp"
#include "stats.hpp"

namespace tavro::net {

// Milliseconds on the steady clock.
std::int64_t steady_ms();

class Connections {
 public:
  enum class Phase { Head, Working, Sending, Closing };

  // One connection, shared by its thread and the table.
  struct Slot {
    explicit Slot(native_socket s) : socket(s) {}
    const native_socket socket;
    std::atomic<bool> evicted{false};
    std::atomic<Phase> phase{Phase::Head};
    std::atomic<std::int64_t> since_ms{steady_ms()};  // entered its phase or last moved bytes
    void enter(Phase p) {
      since_ms.store(steady_ms(), std::memory_order_relaxed);
      phase.store(p, std::memory_order_relaxed);
    }
    void moved() { since_ms.store(steady_ms(), std::memory_order_relaxed); }
  };

  // `stall_ms`: how long an answer must not have moved before its connection may be ended.
  Connections(size_t capacity, std::int64_t stall_ms, std::shared_ptr<Stats> stats);

  // Makes sure one more connection fits, ending the one stuck longest if the table is full.
  // False when it is full of connections that are all making progress.
  bool make_room();
  // Ends the connection stuck longest, if any may be ended (when descriptors run out).
  bool evict_one();
  // Lists a connection; make_room() must have said yes.
  std::shared_ptr<Slot> add(native_socket s);
  // Takes a connection off the list; its thread calls this before closing the socket, so the
  // table never shuts down a socket number that has since been reused.
  void remove(const Slot& slot);
  size_t size() const;

 private:
  bool evict_locked();

  const size_t capacity_;
  const std::int64_t stall_ms_;
  std::shared_ptr<Stats> stats_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Slot>> slots_;
};

}  // namespace tavro::net
