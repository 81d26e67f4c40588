#include "url.hpp"

namespace tavro::core {

std::string percent_encode(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string xor_bytes(std::string_view data, std::string_view key) {
  std::string out(data.size(), '\0');
  for (size_t i = 0; i < data.size(); ++i)
    out[i] = static_cast<char>(static_cast<unsigned char>(data[i]) ^
                               static_cast<unsigned char>(key[i % key.size()]));
  return out;
}

}  // namespace tavro::core
