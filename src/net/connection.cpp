#include "connection.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "file.hpp"
#include "head.hpp"
#include "server.hpp"

namespace tavro::net {
namespace {

using Phase = Connections::Phase;

constexpr size_t kChunk = 262144;  // the most one transfer holds in memory
// The most one sendfile call is asked for: the socket takes what fits in its buffer anyway, and
// fewer calls keep zero-copy sending as fast as one blocking call.
constexpr size_t kZeroCopyCall = size_t{16} << 20;
constexpr int kSliceMs = 250;  // waits are cut into slices so an eviction is seen promptly
constexpr std::int64_t kLingerMs = 1000;  // after the answer: how long to discard client bytes

using Head = HeadReader::State;

std::int64_t to_ms(double seconds) {
  if (!(seconds > 0)) return 0;
  return seconds > 1e9 ? std::int64_t{1000000000000} : static_cast<std::int64_t>(seconds * 1000);
}

// The connection's socket with its deadlines.
class Link {
 public:
  Link(Connections::Slot& slot, const Job& job)
      : slot_(slot), s_(slot.socket), send_ms_(to_ms(job.send_timeout_seconds)) {}

  // Waits for the socket until `deadline` (steady ms); false once it has passed, the
  // connection was ended to make room, or the socket failed.
  bool wait(bool for_write, std::int64_t deadline) {
    for (;;) {
      if (slot_.evicted.load(std::memory_order_relaxed)) return false;
      std::int64_t left = deadline - steady_ms();
      if (left <= 0) return false;
      Ready r =
          wait_socket(s_, for_write, static_cast<int>(std::min<std::int64_t>(left, kSliceMs)));
      if (r != Ready::TimedOut) return r == Ready::Yes;
    }
  }

  // Reads the request head; still More when the client went away or did not finish it in
  // time (such a client gets no answer).
  HeadReader::State read_head(HeadReader& head, double timeout_seconds) {
    const std::int64_t deadline = steady_ms() + to_ms(timeout_seconds);
    char buf[16384];
    for (;;) {
      long n = recv_some(s_, buf, sizeof buf);
      if (n == kWouldBlock) {
        if (!wait(false, deadline)) return HeadReader::State::More;
        continue;
      }
      if (n <= 0) return HeadReader::State::More;
      HeadReader::State state = head.add(buf, static_cast<size_t>(n));
      if (state != HeadReader::State::More) return state;
    }
  }

  // Sends all of `bytes`, counting them in `counter` if given; false when the client is gone,
  // the connection was ended, or nothing moved for the send time-out.
  bool send_all(const char* bytes, size_t size, std::atomic<std::uint64_t>* counter) {
    while (size > 0) {
      long n = send_some(s_, bytes, size);
      if (n == kWouldBlock) {
        if (!writable()) return false;
        continue;
      }
      if (n <= 0) return false;
      moved(static_cast<size_t>(n), counter);
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  // Sends `size` bytes of `file` (or fewer when the file shrank); false as for send_all.
  bool send_file(InFile& file, std::uint64_t size, std::atomic<std::uint64_t>& counter) {
    std::uint64_t left = size;
    if constexpr (kZeroCopy) {
      // The kernel moves the bytes; no chunk passes through this process's memory.
      while (left > 0) {
        long n = send_file_some(s_, file,
                                static_cast<size_t>(std::min<std::uint64_t>(left, kZeroCopyCall)));
        if (n == kWouldBlock) {
          if (!writable()) return false;
          continue;
        }
        if (n == 0) return true;  // the file ended early
        if (n < 0) return false;
        moved(static_cast<size_t>(n), &counter);
        left -= static_cast<std::uint64_t>(n);
      }
      return true;
    }
    std::vector<char> chunk(kChunk);
    while (left > 0) {
      size_t n =
          file.read(chunk.data(), static_cast<size_t>(std::min<std::uint64_t>(left, kChunk)));
      if (n == 0) return true;
      if (!send_all(chunk.data(), n, &counter)) return false;
      left -= n;
    }
    return true;
  }

  // Ends the connection without a reset: stop sending, then discard what the client still
  // sends (an unread request body would otherwise make the close abort the answer) until it
  // closes its side, for a bounded time.
  void finish() {
    slot_.enter(Phase::Closing);
    shutdown_socket(s_, false);
    const std::int64_t deadline = steady_ms() + kLingerMs;
    char sink[16384];
    for (;;) {
      long n = recv_some(s_, sink, sizeof sink);
      if (n == kWouldBlock && wait(false, deadline)) continue;
      if (n <= 0) return;
    }
  }

 private:
  bool writable() { return wait(true, last_moved_ + send_ms_); }
  void moved(size_t n, std::atomic<std::uint64_t>* counter) {
    last_moved_ = steady_ms();
    slot_.moved();
    if (counter != nullptr) counter->fetch_add(n, std::memory_order_relaxed);
  }

  Connections::Slot& slot_;
  const native_socket s_;
  const std::int64_t send_ms_;
  std::int64_t last_moved_ = steady_ms();
};

void serve(Link& link, Connections::Slot& slot, const Job& job) {
  HeadReader reader;
  Head head = link.read_head(reader, job.head_timeout_seconds);
  if (head == Head::More) return;
  slot.enter(Phase::Working);

  Reply reply;
  if (head == Head::TooLarge) {
    reply.bytes = too_large();
  } else if (head == Head::Malformed) {
    reply.bytes = bad_request();
  } else {
    const auto& request = reader.request();
    reply = respond(
        job, std::string_view(request.method_string().data(), request.method_string().size()),
        std::string_view(request.target().data(), request.target().size()), wall_clock());
  }

  std::unique_ptr<InFile> file;
  if (reply.stream_file) {
    file = std::make_unique<InFile>(job.file_path);
    if (!file->is_open()) {
      reply = Reply{};
      reply.bytes = gone(job);
    }
  }
  slot.enter(Phase::Sending);
  Stats& stats = *job.stats;
  constexpr auto relaxed = std::memory_order_relaxed;
  bool ok = link.send_all(reply.bytes.data(), reply.bytes.size(), nullptr);
  if (ok) {
    stats.requests.fetch_add(1, relaxed);
    if (reply.meta) stats.meta_requests.fetch_add(1, relaxed);
  }
  if (ok && reply.stream_file) {
    stats.asset_requests.fetch_add(1, relaxed);
    stats.asset_size.store(reply.file_size, relaxed);
    ok = link.send_file(*file, reply.file_size, stats.asset_bytes);
  }
  file.reset();
  if (ok && reply.set_done) {
    // Counted before the event is set, so whoever wakes on it already sees it.
    stats.done.store(true, relaxed);
    if (job.done) job.done->set();
  }
  link.finish();
}

}  // namespace

void serve_connection(std::shared_ptr<Connections> table, std::shared_ptr<Connections::Slot> slot,
                      std::shared_ptr<const Job> job) noexcept {
  quiet_broken_pipes();
  try {
    Link link(*slot, *job);
    serve(link, *slot, *job);
  } catch (...) {
    // Any failure ends this request only; the server and the job are unaffected.
  }
  table->remove(*slot);
  close_socket(slot->socket);
}

}  // namespace tavro::net
