// A request head as it arrives from the socket, piece by piece, within the bridge's limits.
#pragma once

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <string>

namespace tavro::net {

class HeadReader {
 public:
  enum class State { More, Ok, Malformed, TooLarge };
  using Request = boost::beast::http::request_parser<boost::beast::http::empty_body>::value_type;

  HeadReader();
  // Takes the next bytes the client sent; More until the head is complete or refused.
  State add(const char* bytes, size_t n);
  // The parsed head, once add() has said Ok.
  const Request& request() const { return parser_.get(); }

 private:
  boost::beast::http::request_parser<boost::beast::http::empty_body> parser_;
  std::string pending_;  // received, not yet taken by the parser
};

}  // namespace tavro::net
