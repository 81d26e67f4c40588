// The bridge's server: one listening socket on the loopback address, an accept loop on its own
// thread, one thread per connection (bounded, see Job::max_connections) and a reaper that
// closes everything when the job is done or its time is up. Native only: no thread here ever
// touches Python.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <mutex>
#include <string>

#include "connections.hpp"
#include "event.hpp"
#include "protocol.hpp"

namespace tavro::net {

class Server : public std::enable_shared_from_this<Server> {
 public:
  // Binds host:0 (the kernel picks the port) and starts the accept loop and the reaper, which
  // waits for the job's done event at most `reaper_timeout_seconds`, then shuts the server down
  // and closes it. Throws std::system_error when binding fails.
  static std::shared_ptr<Server> start(const std::string& host, std::shared_ptr<const Job> job,
                                       double reaper_timeout_seconds);

  unsigned short port() const { return port_; }
  // Stops the accept loop and waits until it has ended. Requests already being served go on.
  // Idempotent; any thread but the accept loop's own.
  void shutdown();
  // Closes the listening socket (after it, connections are refused). Idempotent.
  void server_close();

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server();

 private:
  explicit Server(std::shared_ptr<const Job> job);
  void run_loop();  // the accept loop's thread
  void launch(native_socket s);

  boost::asio::io_context loop_;  // the listener's context only; nothing runs on it
  boost::asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<const Job> job_;
  std::shared_ptr<Connections> connections_;
  std::atomic<bool> stopping_{false};
  std::mutex listener_mutex_;  // shutdown() wakes the loop's wait; the loop closes the listener
  native_socket listener_ = 0;
  bool listener_open_ = false;
  unsigned short port_ = 0;
  Event loop_ended_;
  std::once_flag stop_once_;
};

// Blocks SIGPIPE in the calling thread (POSIX), so writes to a closed socket report EPIPE.
void quiet_broken_pipes();

}  // namespace tavro::net
