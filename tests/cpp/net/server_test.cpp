// The server on a real loopback socket: whole exchanges, closing, limits, misbehaving clients.
#include "net/server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "asset_path.hpp"

using namespace tavro::net;
using tavro::net::testing::asset_path;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

std::string exchange(unsigned short port, const std::string& request) {
  asio::io_context io;
  tcp::socket s(io);
  s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  asio::write(s, asio::buffer(request));
  std::string out;
  boost::system::error_code ec;
  asio::read(s, asio::dynamic_buffer(out), ec);  // until the server closes
  return out;
}

bool refused(unsigned short port) {
  asio::io_context io;
  tcp::socket s(io);
  boost::system::error_code ec;
  for (int i = 0; i < 100; ++i) {
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    if (ec) return true;
    s.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct ServerTest : ::testing::Test {
  void SetUp() override {
    path = asset_path(std::string("net_server_") +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mp4");
    content.resize(262145 * 3);
    std::mt19937 rng(7);
    for (char& c : content) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << content;
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
  std::filesystem::path path;
  std::string content;
  std::shared_ptr<Job> job;
  std::shared_ptr<Server> server;
};

std::string body_of(const std::string& answer) {
  return answer.substr(answer.find("\r\n\r\n") + 4);
}

}  // namespace

TEST_F(ServerTest, ServesMetaAndAssetThenClosesOnDone) {
  start();
  EXPECT_EQ(body_of(exchange(server->port(), "GET /meta?token=tok HTTP/1.1\r\n\r\n")),
            "{\"size\": " + std::to_string(content.size()) + "}");
  EXPECT_EQ(body_of(exchange(server->port(), "GET /asset?token=tok HTTP/1.0\r\n\r\n")), content);
  std::string done =
      exchange(server->port(), "POST /done?token=tok HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
  EXPECT_EQ(body_of(done), "{\"ok\": true}");
  EXPECT_TRUE(job->done->wait_for(2));
  EXPECT_TRUE(refused(server->port()));
}

TEST_F(ServerTest, LimitsAndBadInput) {
  start();
  std::string big = "GET /meta?token=tok HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n";
  EXPECT_EQ(exchange(server->port(), big).substr(0, 13), "HTTP/1.0 431 ");
  std::string many = "GET /meta?token=tok HTTP/1.1\r\n";
  for (int i = 0; i < 150; ++i) many += "X" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(exchange(server->port(), many + "\r\n").substr(0, 13), "HTTP/1.0 431 ");
  EXPECT_EQ(exchange(server->port(), "\x01\x02garbage\r\n\r\n").substr(0, 13), "HTTP/1.0 400 ");
  EXPECT_EQ(exchange(server->port(), "HEAD /meta?token=tok HTTP/1.1\r\n\r\n").substr(0, 13),
            "HTTP/1.0 501 ");
  // A head that never completes is dropped after the timeout, with no answer.
  EXPECT_EQ(exchange(server->port(), "GET /meta"), "");
  EXPECT_EQ(exchange(server->port(), "GET /meta?token=tok HTTP/1.0\r\n\r\n").substr(0, 15),
            "HTTP/1.0 200 OK");
}

TEST_F(ServerTest, TransferInProgressSurvivesDoneAndAbortedClientsDoNotHurt) {
  start();
  {  // a client that leaves mid-transfer
    asio::io_context io;
    tcp::socket s(io);
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
    asio::write(s, asio::buffer(std::string("GET /asset?token=tok HTTP/1.0\r\n\r\n")));
    char some[100];
    s.read_some(asio::buffer(some));
  }
  asio::io_context io;
  tcp::socket slow(io);
  slow.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
  asio::write(slow, asio::buffer(std::string("GET /asset?token=tok HTTP/1.0\r\n\r\n")));
  exchange(server->port(), "POST /done?token=tok HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(refused(server->port()));
  std::string got;
  boost::system::error_code ec;
  asio::read(slow, asio::dynamic_buffer(got), ec);
  EXPECT_EQ(body_of(got), content);
}

TEST_F(ServerTest, ReaperClosesAtItsTimeout) {
  start(0.2);
  unsigned short port = server->port();
  EXPECT_EQ(exchange(port, "OPTIONS / HTTP/1.0\r\n\r\n").substr(0, 12), "HTTP/1.0 204");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(refused(port));
  server->shutdown();  // idempotent after the reaper
}

TEST_F(ServerTest, BindFailureIsASystemError) {
  EXPECT_THROW(Server::start("203.0.113.1", job, 1), std::system_error);
}

TEST_F(ServerTest, StatsCountWhatWasServedAsItGoes) {
  // Large enough that the socket buffers cannot take it all while the client does not read.
  content.assign(size_t{24} << 20, 'x');
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  start();
  const Stats& stats = *job->stats;
  exchange(server->port(), "GET /meta?token=tok HTTP/1.0\r\n\r\n");
  exchange(server->port(), "GET /meta?token=wrong HTTP/1.0\r\n\r\n");
  StatsSnapshot s = stats.snapshot();
  EXPECT_EQ(s.requests, 2u);
  EXPECT_EQ(s.meta_requests, 1u);

  asio::io_context io;
  tcp::socket reader(io);
  reader.open(tcp::v4());
  reader.set_option(asio::socket_base::receive_buffer_size(65536));
  reader.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
  asio::write(reader, asio::buffer(std::string("GET /asset?token=tok HTTP/1.0\r\n\r\n")));
  for (int i = 0; i < 200 && stats.snapshot().asset_bytes == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  s = stats.snapshot();
  EXPECT_EQ(s.asset_requests, 1u);
  EXPECT_EQ(s.asset_size, content.size());
  EXPECT_GT(s.asset_bytes, 0u);  // counted while the transfer is under way, not at its end
  EXPECT_LT(s.asset_bytes, content.size());
  std::string got;
  boost::system::error_code ec;
  asio::read(reader, asio::dynamic_buffer(got), ec);
  EXPECT_EQ(body_of(got).size(), content.size());
  EXPECT_EQ(stats.snapshot().asset_bytes, content.size());
  EXPECT_FALSE(stats.snapshot().done);
  EXPECT_FALSE(stats.snapshot().closed);

  exchange(server->port(), "POST /done?token=tok HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(job->done->wait_for(2));
  EXPECT_TRUE(stats.snapshot().done);
  EXPECT_TRUE(refused(server->port()));
  server->shutdown();  // returns once the listener is closed
  s = stats.snapshot();
  EXPECT_TRUE(s.closed);
  EXPECT_EQ(s.requests, 4u);
  EXPECT_EQ(s.meta_requests, 1u);
}
