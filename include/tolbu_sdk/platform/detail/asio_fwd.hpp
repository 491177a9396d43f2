#pragma once
// The Asio names the public headers mention, declared without Asio's headers (its awaitable
// header alone preprocesses to over 100k lines). Code that awaits, spawns or runs a loop
// includes Asio itself. The common library checks at compile time that these are Boost's own.
//
// Boost gives awaitable a default executor; a second default here would clash with it, so
// the headers spell the executor out through the alias below.

#if defined(BOOST_ASIO_USE_TS_EXECUTOR_AS_DEFAULT)
// There any_io_executor is an alias, which cannot be declared ahead.
#include <boost/asio/any_io_executor.hpp>
#endif

namespace boost::asio {
#if !defined(BOOST_ASIO_USE_TS_EXECUTOR_AS_DEFAULT)
class any_io_executor;
#endif
class io_context;
template <typename T, typename Executor>
class awaitable;
}  // namespace boost::asio

namespace tolbu_sdk::platform::detail {

// boost::asio::awaitable<T>, whether or not Asio's header has been seen.
template <typename T>
using awaitable = boost::asio::awaitable<T, boost::asio::any_io_executor>;

}  // namespace tolbu_sdk::platform::detail
