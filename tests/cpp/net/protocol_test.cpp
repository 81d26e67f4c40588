#include "net/protocol.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "asset_path.hpp"

using namespace tavro::net;
using tavro::net::testing::asset_path;

namespace {

const std::string kCors =
    "Access-Control-Allow-Origin: https://site.example\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Private-Network: true\r\n";

struct ProtocolTest : ::testing::Test {
  void SetUp() override {
    path = asset_path("net_protocol_" +
                      std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png");
    std::ofstream(path, std::ios::binary) << "12345";
    job.file_path = tavro::net::testing::utf8(path);
    job.token = "tok";
    job.origin = "https://site.example";
    job.mime = "image/png";
    job.meta_head = R"({"w": 1, "size": )";
    job.meta_tail = R"(, "mime": "image/png"})";
    job.created_at = 1000;
    job.ttl_seconds = 10;
  }
  void TearDown() override { std::filesystem::remove(path); }
  Reply at(std::string_view method, std::string_view target, double now = 1005) {
    return respond(job, method, target, now);
  }
  std::filesystem::path path;
  Job job;
};

}  // namespace

TEST_F(ProtocolTest, MetaBodyCarriesTheSizeMeasuredNow) {
  std::string body = R"({"w": 1, "size": 5, "mime": "image/png"})";
  EXPECT_EQ(at("GET", "/meta?token=tok").bytes,
            "HTTP/1.0 200 OK\r\n" + kCors + "Content-Type: application/json; charset=utf-8\r\n" +
                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  std::ofstream(path, std::ios::binary | std::ios::app) << "678";
  EXPECT_NE(at("GET", "/meta?token=tok").bytes.find(R"("size": 8,)"), std::string::npos);
}

TEST_F(ProtocolTest, AssetHeadThenStream) {
  Reply r = at("GET", "/asset?token=tok");
  EXPECT_EQ(r.bytes,
            "HTTP/1.0 200 OK\r\n" + kCors + "Content-Type: image/png\r\nContent-Length: 5\r\n\r\n");
  EXPECT_TRUE(r.stream_file);
  EXPECT_EQ(r.file_size, 5u);
  EXPECT_FALSE(r.set_done);
}

TEST_F(ProtocolTest, DoneAndOptions) {
  Reply done = at("POST", "/done?token=tok");
  EXPECT_EQ(done.bytes, "HTTP/1.0 200 OK\r\n" + kCors +
                            "Content-Type: application/json; charset=utf-8\r\n"
                            "Content-Length: 12\r\n\r\n{\"ok\": true}");
  EXPECT_TRUE(done.set_done);
  for (double now : {1005.0, 99999.0})
    EXPECT_EQ(at("OPTIONS", "/whatever", now).bytes,
              "HTTP/1.0 204 No Content\r\n" + kCors + "Content-Length: 0\r\n\r\n");
}

TEST_F(ProtocolTest, NotFoundCoversRoutesTokensAndExpiry) {
  const std::string not_found = "HTTP/1.0 404 Not Found\r\n" + kCors +
                                "Content-Type: application/json; charset=utf-8\r\n"
                                "Content-Length: 22\r\n\r\n{\"error\": \"not found\"}";
  for (auto [method, target] :
       std::initializer_list<std::pair<const char*, const char*>>{{"GET", "/meta/?token=tok"},
                                                                  {"GET", "/done?token=tok"},
                                                                  {"POST", "/meta?token=tok"},
                                                                  {"GET", "/meta?token=TOK"},
                                                                  {"GET", "/meta"},
                                                                  {"POST", "/done"},
                                                                  {"GET", "/"}}) {
    Reply r = at(method, target);
    EXPECT_EQ(r.bytes, not_found) << method << " " << target;
    EXPECT_FALSE(r.set_done);
  }
  EXPECT_EQ(at("GET", "/meta?token=tok", 1010).bytes.substr(0, 17), "HTTP/1.0 200 OK\r\n");
  EXPECT_EQ(at("GET", "/meta?token=tok", 1010.001).bytes, not_found);
  EXPECT_EQ(at("POST", "/done?token=tok", 1011).bytes, not_found);
}

TEST_F(ProtocolTest, GoneWhenTheFileIsMissing) {
  std::filesystem::remove(path);
  const std::string gone_bytes = "HTTP/1.0 410 Gone\r\n" + kCors +
                                 "Content-Type: application/json; charset=utf-8\r\n"
                                 "Content-Length: 23\r\n\r\n{\"error\": \"asset gone\"}";
  EXPECT_EQ(at("GET", "/meta?token=tok").bytes, gone_bytes);
  EXPECT_EQ(at("GET", "/asset?token=tok").bytes, gone_bytes);
  EXPECT_FALSE(at("GET", "/asset?token=tok").stream_file);
  EXPECT_EQ(gone(job), gone_bytes);
}

TEST_F(ProtocolTest, OtherMethodsAreTheLayersOwn501WithoutCors) {
  for (const char* method : {"HEAD", "PUT", "DELETE", "get"}) {
    std::string bytes = at(method, "/meta?token=tok").bytes;
    EXPECT_EQ(bytes.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << method;
    EXPECT_EQ(bytes.find("Access-Control"), std::string::npos);
  }
  EXPECT_EQ(bad_request().rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u);
  EXPECT_EQ(too_large().rfind("HTTP/1.0 431 ", 0), 0u);
}
