// Asio and Beast compiled once, here, instead of in every source that uses them.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
