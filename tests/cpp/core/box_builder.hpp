// Building MP4 boxes byte by byte for the readers' tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace box_builder {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline Bytes box(const char* type, std::initializer_list<Bytes> children) {
  Bytes body;
  for (const Bytes& c : children) body.insert(body.end(), c.begin(), c.end());
  Bytes out;
  put32(out, static_cast<std::uint32_t>(body.size() + 8));
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace box_builder
