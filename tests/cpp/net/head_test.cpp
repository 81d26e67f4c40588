// The request head as it arrives in pieces.
#include "net/head.hpp"

#include <gtest/gtest.h>

#include <string>

using tavro::net::HeadReader;
using State = HeadReader::State;

TEST(HeadReader, CompleteOnlyWithTheBlankLineWhateverThePieces) {
  const std::string head = "POST /done?token=t HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n";
  HeadReader reader;
  for (size_t i = 0; i + 1 < head.size(); ++i) ASSERT_EQ(reader.add(&head[i], 1), State::More);
  // A body of any declared length is no concern of the head.
  EXPECT_EQ(reader.add(&head.back(), 1), State::Ok);
  EXPECT_EQ(reader.request().target(), "/done?token=t");
}

TEST(HeadReader, RefusesGarbageAndOversizedHeads) {
  HeadReader garbage;
  EXPECT_EQ(garbage.add("\x01\x02 / HTTP/1.1\r\n", 15), State::Malformed);
  HeadReader big;
  const std::string line = "GET / HTTP/1.1\r\nX: " + std::string(70000, 'a');
  EXPECT_EQ(big.add(line.data(), line.size()), State::TooLarge);
}
