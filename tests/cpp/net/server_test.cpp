// The server on a real loopback socket: whole exchanges, closing, limits, misbehaving clients.
#include "server_fixture.hpp"

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
  EXPECT_EQ(body_of(read_to_end(slow)), content);
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
  write_asset();
  start();
  const Stats& stats = *job->stats;
  exchange(server->port(), "GET /meta?token=tok HTTP/1.0\r\n\r\n");
  exchange(server->port(), "GET /meta?token=wrong HTTP/1.0\r\n\r\n");
  StatsSnapshot s = stats.snapshot();
  EXPECT_EQ(s.requests, 2u);
  EXPECT_EQ(s.meta_requests, 1u);

  asio::io_context io;
  auto reader = asking(io, "GET /asset?token=tok HTTP/1.0\r\n\r\n");
  eventually([&] { return stats.snapshot().asset_bytes > 0; });
  s = stats.snapshot();
  EXPECT_EQ(s.asset_requests, 1u);
  EXPECT_EQ(s.asset_size, content.size());
  EXPECT_GT(s.asset_bytes, 0u);  // counted while the transfer is under way, not at its end
  EXPECT_LT(s.asset_bytes, content.size());
  EXPECT_EQ(body_of(read_to_end(*reader)).size(), content.size());
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
