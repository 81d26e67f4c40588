#include "server.hpp"

#include <boost/asio/ip/address.hpp>
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
// The accept loop's longest wait, and so how soon it sees shutdown() where nothing wakes it.
constexpr int kSliceMs = 100;
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
    server->acceptor_.non_blocking(true);
    server->port_ = server->acceptor_.local_endpoint().port();
    server->listener_ = server->acceptor_.native_handle();
    server->listener_open_ = true;
  } catch (const boost::system::system_error& e) {
    throw std::system_error(std::error_code(e.code().value(), std::system_category()),
                            "cannot listen on " + host);
  }
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
  // Only shutdown() ends this loop: a failure to take or start one connection (no descriptor,
  // memory or thread) costs a short pause, never the listener.
  const native_socket listener = listener_;
  while (!stopping_.load(std::memory_order_acquire)) {
    try {
      if (wait_socket(listener, false, kSliceMs) != Ready::Yes) continue;
      if (stopping_.load(std::memory_order_acquire)) break;  // woken by shutdown()
      // With every place taken by a connection that is making progress, the next one waits in
      // the listen queue.
      if (!connections_->make_room()) {
        std::this_thread::sleep_for(kBackoff);
        continue;
      }
      native_socket s = 0;
      Accepted a = accept_socket(listener, s);
      if (a == Accepted::Yes) {
        launch(s);
        continue;
      }
      // Out of descriptors: the connection stuck longest gives its own back.
      if (a == Accepted::NoResources) connections_->evict_one();
      if (a != Accepted::WouldBlock) std::this_thread::sleep_for(kBackoff);
    } catch (...) {
      std::this_thread::sleep_for(kBackoff);
    }
  }
  std::lock_guard lock(listener_mutex_);
  boost::system::error_code ec;
  acceptor_.close(ec);
  listener_open_ = false;
}

void Server::launch(native_socket s) {
  std::shared_ptr<Connections::Slot> slot;
  try {
    slot = connections_->add(s);
    std::thread(serve_connection, connections_, slot, job_).detach();
  } catch (...) {
    // No memory or no thread to be had: this connection is dropped, the server goes on.
    if (slot) connections_->remove(*slot);
    close_socket(s);
    std::this_thread::sleep_for(kBackoff);
  }
}

void Server::shutdown() {
  std::call_once(stop_once_, [this] {
    stopping_.store(true, std::memory_order_release);
    // Counted before the port starts refusing, so whoever meets a refusal sees it closed.
    job_->stats->closed.store(true, std::memory_order_relaxed);
    // Refuses new connections and wakes the accept loop at once where the system allows it
    // (Linux); elsewhere the loop sees the flag within one slice of its wait and closes the
    // listener, before shutdown() returns.
    std::lock_guard lock(listener_mutex_);
    if (listener_open_) shutdown_socket(listener_, true);
  });
  loop_ended_.wait();
}

void Server::server_close() { shutdown(); }

}  // namespace tavro::net
