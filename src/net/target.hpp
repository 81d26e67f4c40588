// What the bridge reads from a request target: the route and the token.
#pragma once

#include <string>
#include <string_view>

namespace tavro::net {

// The path component of a request target, as urllib.parse.urlsplit gives it: an absolute-form
// target is reduced to its path, query and fragment are dropped, nothing is percent-decoded.
// A target starting with "//" is first reduced to a single "/", as the standard library's
// request handler does.
std::string route_of(std::string_view target);

// The first value of the query parameter "token", decoded as a form query (parse_qs): "+" is a
// space, %XX escapes are decoded; empty values count as absent; "" when there is none. Decoded
// bytes outside ASCII are kept as they are: such a value never matches a token, whatever
// replacement characters a text decoder would put in their place.
std::string token_of(std::string_view target);

// Decodes "+" and %XX of one form field; invalid escapes stay as written.
std::string form_decode(std::string_view field);

}  // namespace tavro::net
