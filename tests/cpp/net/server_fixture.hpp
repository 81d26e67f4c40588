// A server on a real loopback socket with a job of its own, and clients that never wait
// without a bound (a stuck server fails the test instead of hanging it).
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "asset_path.hpp"
#include "net/server.hpp"
#include "net/socket_io.hpp"

using namespace tavro::net;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

tcp::endpoint loopback(unsigned short port) {
  return tcp::endpoint(asio::ip::make_address("127.0.0.1"), port);
}

// Everything the server sends until it closes, or until `seconds` have passed.
std::string read_to_end(tcp::socket& s, double seconds = 10) {
  s.non_blocking(true);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string out;
  char buf[65536];
  while (std::chrono::steady_clock::now() < end) {
    boost::system::error_code ec;
    size_t n = s.read_some(asio::buffer(buf), ec);
    if (ec == asio::error::would_block) {
      wait_socket(s.native_handle(), false, 50);
      continue;
    }
    if (ec) break;
    out.append(buf, n);
  }
  return out;
}

std::string exchange(unsigned short port, const std::string& request) {
  asio::io_context io;
  tcp::socket s(io);
  s.connect(loopback(port));
  asio::write(s, asio::buffer(request));
  return read_to_end(s);
}

bool refused(unsigned short port) {
  asio::io_context io;
  tcp::socket s(io);
  boost::system::error_code ec;
  for (int i = 0; i < 100; ++i) {
    s.connect(loopback(port), ec);
    if (ec) return true;
    s.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Waits up to `seconds` for `condition`.
template <class F>
bool eventually(F condition, double seconds = 5) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct ServerTest : ::testing::Test {
  void SetUp() override {
    path = tavro::net::testing::asset_path(
        std::string("net_server_") +
        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mp4");
    content.resize(262145 * 3);
    std::mt19937 rng(7);
    for (char& c : content) c = static_cast<char>(rng());
    write_asset();
    auto j = std::make_shared<Job>();
    j->file_path = tavro::net::testing::utf8(path);
    j->token = "tok";
    j->origin = "http://127.0.0.1:1";
    j->mime = "video/mp4";
    j->meta_head = "{\"size\": ";
    j->meta_tail = "}";
    j->created_at = wall_clock();
    j->head_timeout_seconds = 0.3;
    j->done = std::make_shared<Event>();
    job = j;
  }
  void TearDown() override {
    job->done->set();
    if (server) server->server_close();
    std::filesystem::remove(path);
  }
  void start(double reaper = 30) { server = Server::start("127.0.0.1", job, reaper); }
  void write_asset() { std::ofstream(path, std::ios::binary | std::ios::trunc) << content; }
  // A client with a small receive window, so an answer it does not read soon fills it.
  std::unique_ptr<tcp::socket> asking(asio::io_context& io, const std::string& request) {
    auto s = std::make_unique<tcp::socket>(io);
    s->open(tcp::v4());
    s->set_option(asio::socket_base::receive_buffer_size(65536));
    s->connect(loopback(server->port()));
    if (!request.empty()) asio::write(*s, asio::buffer(request));
    return s;
  }
  std::filesystem::path path;
  std::string content;
  std::shared_ptr<Job> job;
  std::shared_ptr<Server> server;
};

std::string body_of(const std::string& answer) {
  return answer.substr(answer.find("\r\n\r\n") + 4);
}

}  // namespace
