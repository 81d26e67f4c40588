// One connection: read the request head (bounded in size and time), answer, close.
#include <algorithm>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <chrono>
#include <vector>

#if defined(__linux__)
#include <sys/sendfile.h>
#endif
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include "file.hpp"
#include "server.hpp"

namespace tavro::net {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

constexpr size_t kHeadLimit = 64 * 1024;  // bytes of request line and headers
constexpr size_t kMaxFields = 100;

enum class Head { Ok, Close, Malformed, TooLarge };

Head read_head(asio::io_context& context, boost::beast::tcp_stream& stream,
               http::request_parser<http::empty_body>& parser, double timeout_seconds) {
  boost::beast::flat_buffer buffer(kHeadLimit);
  parser.header_limit(static_cast<std::uint32_t>(kHeadLimit));
  error_code result;
  stream.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timeout_seconds)));
  http::async_read_header(stream, buffer, parser, [&](error_code ec, size_t) { result = ec; });
  context.run();
  if (!result) {
    const auto& fields = parser.get();
    return std::distance(fields.begin(), fields.end()) > static_cast<long>(kMaxFields)
               ? Head::TooLarge
               : Head::Ok;
  }
  if (result == http::error::header_limit || result == http::error::buffer_overflow)
    return Head::TooLarge;
  // A client that went away or never finished its head gets no answer.
  if (result == boost::beast::error::timeout || result == http::error::end_of_stream ||
      result == asio::error::eof || result == asio::error::connection_reset ||
      result == asio::error::operation_aborted)
    return Head::Close;
  return Head::Malformed;
}

// Sends `size` bytes of `file` (or fewer when the file shrank); false when the client is gone.
// Each piece that goes out is counted in `stats` at once, so a reader sees the transfer move.
bool send_file(tcp::socket& socket, InFile& file, std::uint64_t size, Stats& stats) {
  constexpr size_t kChunk = 262144;  // the most one transfer holds in memory or one call sends
  std::uint64_t left = size;
#if defined(__linux__)
  // Zero-copy: the kernel moves the bytes; no chunk passes through this process's memory.
  const int out = socket.native_handle(), in = file.descriptor();
  while (left > 0) {
    ssize_t n =
        ::sendfile(out, in, nullptr, static_cast<size_t>(std::min<std::uint64_t>(left, kChunk)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;  // 0: the file ended early
    left -= static_cast<std::uint64_t>(n);
    stats.asset_bytes.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  }
  return true;
#else
  std::vector<char> chunk(kChunk);
  while (left > 0) {
    size_t n = file.read(chunk.data(), static_cast<size_t>(std::min<std::uint64_t>(left, kChunk)));
    if (n == 0) return true;
    error_code ec;
    asio::write(socket, asio::buffer(chunk.data(), n), ec);
    if (ec) return false;
    left -= n;
    stats.asset_bytes.fetch_add(n, std::memory_order_relaxed);
  }
  return true;
#endif
}

// Ends the connection without a reset: stop sending, discard what the client already sent
// (an unread request body would otherwise make the close abort the answer), close.
void finish(tcp::socket& socket) {
  error_code ec;
  socket.shutdown(tcp::socket::shutdown_send, ec);
  socket.non_blocking(true, ec);
  char sink[4096];
  for (size_t total = 0; total < kHeadLimit;) {
    size_t n = socket.read_some(asio::buffer(sink), ec);
    if (ec || n == 0) break;
    total += n;
  }
  socket.close(ec);
}

}  // namespace

void serve_connection(std::shared_ptr<asio::io_context> context, tcp::socket socket,
                      std::shared_ptr<const Job> job) {
  quiet_broken_pipes();
  try {
    boost::beast::tcp_stream stream(std::move(socket));
    http::request_parser<http::empty_body> parser;
    Head head = read_head(*context, stream, parser, job->head_timeout_seconds);
    stream.expires_never();
    tcp::socket sock = stream.release_socket();
    if (head == Head::Close) {
      error_code ec;
      sock.close(ec);
      return;
    }
    error_code ec;
    sock.non_blocking(false, ec);
    sock.native_non_blocking(false, ec);
    // A client that stops reading entirely must not hold this thread for ever.
#ifdef _WIN32
    DWORD send_timeout_ms = 120000;
    ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_SNDTIMEO,
                 reinterpret_cast<const char*>(&send_timeout_ms), sizeof send_timeout_ms);
#else
    timeval send_timeout{120, 0};
    ::setsockopt(sock.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
#endif

    Reply reply;
    if (head == Head::TooLarge) {
      reply.bytes = too_large();
    } else if (head == Head::Malformed) {
      reply.bytes = bad_request();
    } else {
      const auto& request = parser.get();
      reply = respond(
          *job, std::string_view(request.method_string().data(), request.method_string().size()),
          std::string_view(request.target().data(), request.target().size()), wall_clock());
    }

    std::unique_ptr<InFile> file;
    if (reply.stream_file) {
      file = std::make_unique<InFile>(job->file_path);
      if (!file->is_open()) {
        reply = Reply{};
        reply.bytes = gone(*job);
      }
    }
    asio::write(sock, asio::buffer(reply.bytes), ec);
    bool ok = !ec;
    Stats& stats = *job->stats;
    constexpr auto relaxed = std::memory_order_relaxed;
    if (ok) {
      stats.requests.fetch_add(1, relaxed);
      if (reply.meta) stats.meta_requests.fetch_add(1, relaxed);
    }
    if (ok && reply.stream_file) {
      stats.asset_requests.fetch_add(1, relaxed);
      stats.asset_size.store(reply.file_size, relaxed);
      ok = send_file(sock, *file, reply.file_size, stats);
    }
    file.reset();
    if (ok && reply.set_done) {
      // Counted before the event is set, so whoever wakes on it already sees it.
      stats.done.store(true, relaxed);
      if (job->done) job->done->set();
    }
    finish(sock);
  } catch (...) {
    // Any failure ends this request only; the server and the job are unaffected.
  }
}

}  // namespace tavro::net
