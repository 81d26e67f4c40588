// Percent-encoding and the value scrambling used for stored configuration texts.
#pragma once

#include <string>
#include <string_view>

namespace tavro::core {

// Percent-encodes UTF-8 bytes the way urllib.parse.quote(s, safe="") does: every byte except
// the unreserved characters A-Z a-z 0-9 "-" "." "_" "~" becomes "%XX" (upper-case hex).
std::string percent_encode(std::string_view utf8);

// Exclusive-or of each byte with the key, repeated cyclically. Its own inverse. Requires a
// non-empty key.
std::string xor_bytes(std::string_view data, std::string_view key);

}  // namespace tavro::core
