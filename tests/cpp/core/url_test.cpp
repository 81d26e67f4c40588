#include "core/url.hpp"

#include <gtest/gtest.h>

using tavro::core::percent_encode;

TEST(PercentEncode, UnreservedPassThrough) {
  EXPECT_EQ(percent_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(percent_encode("Abc-_xyz0123456789_-"), "Abc-_xyz0123456789_-");
  EXPECT_EQ(percent_encode(""), "");
}

TEST(PercentEncode, EverythingElseEscapedUpperHex) {
  EXPECT_EQ(percent_encode("a&b#c=d/e f"), "a%26b%23c%3Dd%2Fe%20f");
  EXPECT_EQ(percent_encode("+?%:@!*'()"), "%2B%3F%25%3A%40%21%2A%27%28%29");
  EXPECT_EQ(percent_encode("中"), "%E4%B8%AD");
  EXPECT_EQ(percent_encode(std::string("\0\x7f", 2)), "%00%7F");
}

TEST(XorBytes, IsItsOwnInverseWithACyclicKey) {
  const std::string key = "k3y";
  const std::string plain = "https://example.com/some/longer/path";
  const std::string scrambled = tavro::core::xor_bytes(plain, key);
  EXPECT_NE(scrambled, plain);
  EXPECT_EQ(scrambled[3], static_cast<char>(plain[3] ^ key[0]));
  EXPECT_EQ(tavro::core::xor_bytes(scrambled, key), plain);
}
