#include "server.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <pthread.h>

#include <csignal>
#endif

namespace tavro::net {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

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

Server::Server(std::shared_ptr<const Job> job) : acceptor_(loop_), job_(std::move(job)) {}

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
    try {
      server->loop_.run();
    } catch (...) {
      // The loop cannot go on: close the listener here, so the port does not stay open.
      server->close_listener();
    }
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

void Server::accept_next() {
  auto context = std::make_shared<asio::io_context>(1);
  acceptor_.async_accept(*context, [self = shared_from_this(), context](
                                       const boost::system::error_code& ec, tcp::socket socket) {
    if (!self->acceptor_.is_open()) return;
    if (!ec) {
      try {
        std::thread(serve_connection, context, std::move(socket), self->job_).detach();
      } catch (...) {
        // No thread to be had: this connection is dropped, the server goes on.
      }
      self->accept_next();
      return;
    }
    // A transient failure (out of descriptors, an aborted handshake): try again shortly.
    auto timer = std::make_shared<asio::steady_timer>(self->loop_, std::chrono::milliseconds(20));
    timer->async_wait([self, timer](const boost::system::error_code&) {
      if (self->acceptor_.is_open()) self->accept_next();
    });
  });
}

void Server::close_listener() {
  // The pending accept completes as aborted and releases the server; with no work left the
  // loop then ends by itself.
  boost::system::error_code ec;
  acceptor_.close(ec);
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
