// Boost.URL's code, compiled once into ribexweb (the library is header-only
// this way; no Boost binary is linked).
#include <boost/url/src.hpp>
