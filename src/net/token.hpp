// The job token check.
#pragma once

#include <string_view>

namespace tavro::net {

// Exact, case-sensitive equality in constant time: the running time depends only on the length
// of `given`, never on the contents or on where the first difference is. Any byte of `given`
// outside ASCII makes the result false (such a value can never equal a base64url token).
bool token_matches(std::string_view stored, std::string_view given);

}  // namespace tavro::net
