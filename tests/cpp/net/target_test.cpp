#include "net/target.hpp"

#include <gtest/gtest.h>

#include "net/token.hpp"

using namespace tavro::net;

TEST(Route, PathComponentOnly) {
  EXPECT_EQ(route_of("/meta?token=x"), "/meta");
  EXPECT_EQ(route_of("/meta#frag?x"), "/meta");
  EXPECT_EQ(route_of("/meta/"), "/meta/");
  EXPECT_EQ(route_of("/META"), "/META");
  EXPECT_EQ(route_of("/me%74a"), "/me%74a");
  EXPECT_EQ(route_of("http://127.0.0.1:5000/asset?token=t"), "/asset");
  EXPECT_EQ(route_of("HTTP://h/done"), "/done");
  EXPECT_EQ(route_of("http://h"), "");
  EXPECT_EQ(route_of("//meta"), "/meta");  // the request handler's reduction of "//"
  EXPECT_EQ(route_of("///asset?x"), "/asset");
  EXPECT_EQ(route_of("/me\tta"), "/meta");
  EXPECT_EQ(route_of("*"), "*");
  EXPECT_EQ(route_of("1http://h/meta"), "1http://h/meta");  // not a scheme
}

TEST(Token, FirstNonEmptyValueOfTokenDecodedAsAForm) {
  EXPECT_EQ(token_of("/meta?token=abc"), "abc");
  EXPECT_EQ(token_of("/meta?a=1&token=abc&token=def"), "abc");
  EXPECT_EQ(token_of("/meta?token=&token=def"), "def");
  EXPECT_EQ(token_of("/meta?token&token=def"), "def");
  EXPECT_EQ(token_of("/meta?token="), "");
  EXPECT_EQ(token_of("/meta"), "");
  EXPECT_EQ(token_of("/meta?token=a+b%2Bc"), "a b+c");
  EXPECT_EQ(token_of("/meta?%74oken=x"), "x");
  EXPECT_EQ(token_of("/meta?token=%zz%4"), "%zz%4");
  EXPECT_EQ(token_of("/meta?token=a;b"), "a;b");  // only "&" separates
  EXPECT_EQ(token_of("/meta?token=a#b"), "a");
  EXPECT_EQ(token_of("/meta?TOKEN=a"), "");
}

TEST(TokenMatches, ExactCaseSensitiveAsciiOnly) {
  const std::string t = "Abc-_0123456789012345678901234567890123456";
  EXPECT_TRUE(token_matches(t, t));
  EXPECT_FALSE(token_matches(t, ""));
  EXPECT_FALSE(token_matches(t, t + "x"));
  EXPECT_FALSE(token_matches(t, t.substr(1)));
  std::string lower = t;
  lower[0] = 'a';
  EXPECT_FALSE(token_matches(t, lower));
  std::string high = t;
  high.back() = static_cast<char>(0xC3);
  EXPECT_FALSE(token_matches(t, high));
  EXPECT_FALSE(token_matches("", "\x80"));
  EXPECT_TRUE(token_matches("", ""));
}
