#pragma once
// Helpers for suites that run coroutines on one io_context: a bounded run of a test body,
// a bounded wait for a condition; and the capture of log lines.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../support/log_capture.hpp"
#include "tolbu_sdk/platform/logging.hpp"

// ASSERT_* return from the function, which a coroutine cannot: these end the coroutine.
#define CO_ASSERT_TRUE(cond)      \
  do {                            \
    const bool co_ok_ = (cond);   \
    EXPECT_TRUE(co_ok_) << #cond; \
    if (!co_ok_) co_return;       \
  } while (0)
#define CO_ASSERT_EQ(a, b)            \
  do {                                \
    const bool co_ok_ = ((a) == (b)); \
    EXPECT_EQ(a, b);                  \
    if (!co_ok_) co_return;           \
  } while (0)

namespace tolbu_test {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// Runs body() on io until it finishes (then stops io) or `limit` passes; rethrows its error.
template <typename Body>
void run_on(asio::io_context& io, Body body, std::chrono::milliseconds limit = 15s) {
  bool finished = false;
  std::exception_ptr failure;
  asio::co_spawn(io, body(), [&](std::exception_ptr e) {
    finished = true;
    failure = e;
    io.stop();
  });
  io.run_for(limit);
  ASSERT_TRUE(finished) << "test body did not finish within " << limit.count() << " ms";
  if (failure) std::rethrow_exception(failure);
}

// Waits until cond() holds, checking every few milliseconds; false after `limit`.
inline asio::awaitable<bool> until(std::function<bool()> cond,
                                   std::chrono::milliseconds limit = 5s) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) co_return false;
    timer.expires_after(2ms);
    boost::system::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  co_return true;
}

inline asio::awaitable<void> pause(std::chrono::milliseconds d) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(d);
  boost::system::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

}  // namespace tolbu_test
