#include "head.hpp"

#include <boost/beast/http/error.hpp>
#include <cstdint>
#include <iterator>
#include <limits>

namespace tavro::net {
namespace {
namespace http = boost::beast::http;
constexpr size_t kHeadLimit = 64 * 1024;  // bytes of request line and headers
constexpr long kMaxFields = 100;
}  // namespace

HeadReader::HeadReader() {
  parser_.header_limit(static_cast<std::uint32_t>(kHeadLimit));
  // The body is never read, so no declared length is too long. (Not boost::none: some Boost
  // versions compare the length with an empty limit and refuse every body.)
  parser_.body_limit(std::numeric_limits<std::uint64_t>::max());
}

HeadReader::State HeadReader::add(const char* bytes, size_t n) {
  pending_.append(bytes, n);
  boost::system::error_code ec;
  size_t used = parser_.put(boost::asio::buffer(pending_), ec);
  pending_.erase(0, used);
  if (!ec && parser_.is_header_done()) {
    const auto& fields = parser_.get();
    return std::distance(fields.begin(), fields.end()) > kMaxFields ? State::TooLarge : State::Ok;
  }
  if (ec == http::error::header_limit || pending_.size() > kHeadLimit) return State::TooLarge;
  if (ec && ec != http::error::need_more) return State::Malformed;
  return State::More;
}

}  // namespace tavro::net
