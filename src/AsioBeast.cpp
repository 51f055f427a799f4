// Asio and Beast, compiled once for the whole build.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
