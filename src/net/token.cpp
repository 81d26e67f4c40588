#include "token.hpp"

namespace tavro::net {

bool token_matches(std::string_view stored, std::string_view given) {
  // Compare `given` with itself when the lengths differ, so the loop always runs over
  // `given` and never reads past `stored`.
  const bool same_length = stored.size() == given.size();
  std::string_view left = same_length ? stored : given;
  unsigned char diff = same_length ? 0 : 1;
  unsigned char high = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    const auto g = static_cast<unsigned char>(given[i]);
    diff |= static_cast<unsigned char>(static_cast<unsigned char>(left[i]) ^ g);
    high |= g & 0x80;
  }
  return (diff | high) == 0;
}

}  // namespace tavro::net
