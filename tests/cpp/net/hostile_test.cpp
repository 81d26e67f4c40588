// Clients that try to exhaust the bridge: descriptor shortage, floods of idle connections,
// readers that stop reading, odd files at the asset's path, oversized /done bodies.
#include <vector>

#include "server_fixture.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::string kMeta = "GET /meta?token=tok HTTP/1.0\r\n\r\n";
const std::string kAsset = "GET /asset?token=tok HTTP/1.0\r\n\r\n";

struct HostileClientTest : ServerTest {};

std::string status_of(const std::string& answer) { return answer.substr(0, 12); }

#ifndef _WIN32
int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
  return n;
}
#endif

}  // namespace

#ifndef _WIN32
TEST_F(HostileClientTest, RunningOutOfDescriptorsLeavesThePortOpenAndLeaksNothing) {
  start();
  asio::io_context io;
  // Clients opened first, so they can still connect while the process has no descriptor left.
  std::vector<std::unique_ptr<tcp::socket>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<tcp::socket>(io));
    clients.back()->open(tcp::v4());
  }
  const int before = open_descriptors();  // with the clients and the listener
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(open_descriptors() + 64);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; filler.size() < 4096 && (fd = ::dup(0)) >= 0;) filler.push_back(fd);
  for (auto& c : clients) c->connect(loopback(server->port()));
  // The accept loop meets EMFILE for a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(job->stats->snapshot().closed);
  for (int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &old);

  // The connections that waited are served, and so is a new one.
  for (auto& c : clients) {
    asio::write(*c, asio::buffer(kMeta));
    EXPECT_EQ(status_of(read_to_end(*c)), "HTTP/1.0 200");
  }
  EXPECT_EQ(status_of(exchange(server->port(), kMeta)), "HTTP/1.0 200");
  clients.clear();
  job->done->set();
  EXPECT_TRUE(refused(server->port()));
  server->shutdown();
  EXPECT_TRUE(eventually([&] { return job->stats->snapshot().connections == 0; }));
  // Nothing left open by the server once its connections have ended: the clients and the
  // listener are gone.
  EXPECT_TRUE(eventually([&] { return open_descriptors() <= before - 5; }));
}

TEST_F(HostileClientTest, FifoAtTheAssetPathIsGoneWithoutBlocking) {
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  start();
  std::string answer = exchange(server->port(), kAsset);
  EXPECT_EQ(status_of(answer), "HTTP/1.0 410");
  EXPECT_EQ(body_of(answer), R"({"error": "asset gone"})");
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);  // a directory is no asset either
  EXPECT_EQ(status_of(exchange(server->port(), kAsset)), "HTTP/1.0 410");
  std::filesystem::remove(path);
}
#endif

TEST_F(HostileClientTest, ReaderThatStopsReadingIsEndedAfterTheSendTimeout) {
  content.assign(size_t{24} << 20, 'x');
  write_asset();
  job->send_timeout_seconds = 0.3;
  start();
  asio::io_context io;
  auto stalled = asking(io, kAsset);
  ASSERT_TRUE(eventually([&] { return job->stats->snapshot().asset_bytes > 0; }));
  // Its thread and socket are given back once nothing has moved for the time-out.
  EXPECT_TRUE(eventually([&] { return job->stats->snapshot().connections == 0; }, 3));
  EXPECT_LT(read_to_end(*stalled).size(), content.size());
  EXPECT_EQ(status_of(exchange(server->port(), kMeta)), "HTTP/1.0 200");
}

TEST_F(HostileClientTest, FloodsOfIdleAndStalledClientsDoNotKeepARequestOut) {
  content.assign(size_t{24} << 20, 'x');
  write_asset();
  job->max_connections = 4;
  job->head_timeout_seconds = 60;
  job->send_timeout_seconds = 60;
  start();
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> flood;
  for (int i = 0; i < 4; ++i) flood.push_back(asking(io, kAsset));
  ASSERT_TRUE(eventually([&] { return job->stats->snapshot().asset_requests == 4; }));
  // All places are held by readers that stopped; once they have not moved for a second, a new
  // request takes the place of one of them.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(status_of(exchange(server->port(), kMeta)), "HTTP/1.0 200");
  for (int i = 0; i < 100; ++i) flood.push_back(asking(io, ""));  // idle: no request head
  EXPECT_EQ(status_of(exchange(server->port(), kMeta)), "HTTP/1.0 200");
  StatsSnapshot s = job->stats->snapshot();
  EXPECT_LE(s.connections, 4u);
  EXPECT_GE(s.evicted, 100u);
  // The oldest idle ones were the ones closed.
  EXPECT_EQ(read_to_end(*flood[4], 1), "");
}

TEST_F(HostileClientTest, DoneIgnoresABodyOfAnyDeclaredLength) {
  start();
  asio::io_context io;
  auto client = asking(io, "POST /done?token=tok HTTP/1.1\r\nContent-Length: 5000000000\r\n\r\n");
  asio::write(*client, asio::buffer(std::string(100000, 'b')));
  std::string answer = read_to_end(*client);
  EXPECT_EQ(status_of(answer), "HTTP/1.0 200");
  EXPECT_EQ(body_of(answer), R"({"ok": true})");
  EXPECT_TRUE(job->done->wait_for(2));
  EXPECT_TRUE(refused(server->port()));
}
