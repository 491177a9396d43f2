// The forward declarations of the public headers name Boost's own Asio types: once Asio is
// seen, the alias is the awaitable that Asio's coroutines return.

#include "tolbu_sdk/platform/detail/asio_fwd.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <type_traits>

namespace tolbu_sdk::platform::detail {

static_assert(std::is_same_v<awaitable<void>, boost::asio::awaitable<void>>);
static_assert(std::is_same_v<awaitable<int>, boost::asio::awaitable<int>>);
static_assert(
    std::is_same_v<boost::asio::awaitable<void>::executor_type, boost::asio::any_io_executor>);
static_assert(std::is_class_v<boost::asio::io_context>);

}  // namespace tolbu_sdk::platform::detail
