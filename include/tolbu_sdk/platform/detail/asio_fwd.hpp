#pragma once
// The Asio names the public headers mention, declared without Asio's headers: a strategy that
// only declares or passes these types compiles without the 100k lines of <boost/asio.hpp>.
// Code that awaits or spawns includes Asio itself. src/platform/common/asio_fwd_check.cpp
// proves that these are Boost's own types.
//
// Boost gives awaitable a default executor; a second default here would clash with it, so
// the headers spell the executor out through the alias below.

namespace boost::asio {
class any_io_executor;
class io_context;
template <typename T, typename Executor>
class awaitable;
}  // namespace boost::asio

namespace tolbu_sdk::platform::detail {

// boost::asio::awaitable<T>, whether or not Asio's header has been seen.
template <typename T>
using awaitable = boost::asio::awaitable<T, boost::asio::any_io_executor>;

}  // namespace tolbu_sdk::platform::detail
