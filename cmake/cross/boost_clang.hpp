// Boost's own configuration for clang, except that BOOST_SYMBOL_VISIBLE stays empty: Boost
// gives its error categories and exception types default visibility so that they can cross
// shared libraries, which these self-contained modules never need; on macOS, where zig's
// linker takes no export list, they would otherwise be exported.
#include <boost/config/compiler/clang.hpp>
#undef BOOST_SYMBOL_VISIBLE
#define BOOST_SYMBOL_VISIBLE
