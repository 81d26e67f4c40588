#include "server.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "connection.hpp"

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#endif

namespace tavro::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {
// How long the accept loop pauses after a failure (no descriptor, memory or thread to be had)
// or while every place is taken by a connection that is making progress.
constexpr auto kBackoff = 20ms;
// An answer that has not moved for this long may be ended to make room for a new connection.
constexpr std::int64_t kStallMs = 1000;
}  // namespace

void quiet_broken_pipes() {
#ifndef _WIN32
  // A client that goes away mid-answer must cost only its own request: with SIGPIPE blocked
  // in this thread, a write to the dead socket fails with EPIPE instead of a signal that would
  // end the host (which need not ignore it). Threads started from here inherit the mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

Server::Server(std::shared_ptr<const Job> job)
    : acceptor_(loop_),
      retry_(loop_),
      job_(std::move(job)),
      connections_(std::make_shared<Connections>(job_->max_connections, kStallMs, job_->stats)) {}

Server::~Server() = default;

std::shared_ptr<Server> Server::start(const std::string& host, std::shared_ptr<const Job> job,
                                      double reaper_timeout_seconds) {
  std::shared_ptr<Server> server(new Server(std::move(job)));
  try {
    tcp::endpoint endpoint(asio::ip::make_address(host), 0);
    server->acceptor_.open(endpoint.protocol());
    server->acceptor_.bind(endpoint);
    server->acceptor_.listen(asio::socket_base::max_listen_connections);
    server->port_ = server->acceptor_.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw std::system_error(std::error_code(e.code().value(), std::system_category()),
                            "cannot listen on " + host);
  }
  server->accept_next();
  // Background threads: each holds the server until its own work is over, and none of them
  // is joined, so none can delay the host's exit.
  std::thread([server] {
    quiet_broken_pipes();
    server->run_loop();
    server->loop_ended_.set();
  }).detach();
  std::shared_ptr<Event> done = server->job_->done;
  std::thread([server, done, reaper_timeout_seconds] {
    if (done) done->wait_for(reaper_timeout_seconds);
    server->shutdown();
    server->server_close();
  }).detach();
  return server;
}

void Server::run_loop() {
  // Only closing the listener ends this loop. Whatever a handler throws (no memory, say), the
  // loop pauses and goes on accepting.
  for (;;) {
    try {
      if (!acceptor_.is_open()) return;
      if (!armed_) {
        if (holding_)
          place_held();
        else
          accept_next();
      }
      if (loop_.stopped()) loop_.restart();
      loop_.run();
    } catch (...) {
      std::this_thread::sleep_for(kBackoff);
    }
  }
}

void Server::accept_next() {
  acceptor_.async_accept(
      [self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
        self->armed_ = false;
        self->accepted(ec, std::move(socket));
      });
  armed_ = true;
}

void Server::accepted(const boost::system::error_code& ec, tcp::socket socket) {
  if (!acceptor_.is_open()) return;
  if (ec) {
    // Out of descriptors: the connection stuck longest gives its own back.
    if (ec == asio::error::no_descriptors || ec.value() == ENFILE) connections_->evict_one();
    retry_after(kBackoff, false);
    return;
  }
  boost::system::error_code release_failed;
  native_socket s = socket.release(release_failed);
  if (release_failed) {
    retry_after(kBackoff, false);
    return;
  }
  held_ = s;
  holding_ = true;
  place_held();
}

// Gives the held connection a place and a thread, or waits for a place.
void Server::place_held() {
  if (!connections_->make_room()) {
    retry_after(kBackoff, true);
    return;
  }
  std::shared_ptr<Connections::Slot> slot;
  try {
    set_non_blocking(held_);
    slot = connections_->add(held_);
    holding_ = false;
    std::thread(serve_connection, connections_, slot, job_).detach();
  } catch (...) {
    // No memory or no thread to be had: this connection is dropped, the server goes on.
    if (slot) connections_->remove(*slot);
    if (holding_ || slot) close_socket(held_);
    holding_ = false;
    retry_after(kBackoff, false);
    return;
  }
  accept_next();
}

void Server::retry_after(std::chrono::milliseconds pause, bool place) {
  retry_.expires_after(pause);
  retry_.async_wait([self = shared_from_this(), place](const boost::system::error_code&) {
    self->armed_ = false;
    if (!self->acceptor_.is_open()) return;
    if (place)
      self->place_held();
    else
      self->accept_next();
  });
  armed_ = true;
}

void Server::close_listener() {
  // The pending accept or retry completes as aborted and releases the server; with no work
  // left the loop then ends by itself.
  boost::system::error_code ec;
  acceptor_.close(ec);
  retry_.cancel();
  if (holding_) close_socket(held_);
  holding_ = false;
  job_->stats->closed.store(true, std::memory_order_relaxed);
}

void Server::shutdown() {
  std::call_once(stop_once_, [this] {
    asio::post(loop_, [self = shared_from_this()] { self->close_listener(); });
  });
  loop_ended_.wait();
}

void Server::server_close() { shutdown(); }

}  // namespace tavro::net
