#pragma once
// Helpers for suites that run coroutines on one io_context: a bounded run of a test body,
// a bounded wait for a condition, and a capture of log lines.

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

// Collects "LEVEL:name:message" lines of a logger while alive.
class LogCapture {
 public:
  explicit LogCapture(std::string logger_name, int level = tolbu_sdk::logging::DEBUG)
      : logger_(tolbu_sdk::logging::get_logger(logger_name)),
        saved_level_(logger_.level()),
        handler_(std::make_shared<Sink>()) {
    handler_->set_formatter(
        std::make_shared<tolbu_sdk::logging::Formatter>("%(levelname)s:%(name)s:%(message)s"));
    logger_.set_level(level);
    logger_.add_handler(handler_);
  }
  ~LogCapture() {
    logger_.remove_handler(handler_);
    logger_.set_level(saved_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(handler_->mutex);
    return handler_->lines;
  }
  // Lines containing `part`.
  std::vector<std::string> matching(const std::string& part) const {
    std::vector<std::string> out;
    for (auto& l : lines())
      if (l.find(part) != std::string::npos) out.push_back(l);
    return out;
  }
  std::size_t count(const std::string& part) const { return matching(part).size(); }
  void clear() {
    std::lock_guard lock(handler_->mutex);
    handler_->lines.clear();
  }

 private:
  struct Sink : tolbu_sdk::logging::Handler {
    std::mutex mutex;
    std::vector<std::string> lines;
    void emit(std::string_view line) override {
      std::lock_guard lock(mutex);
      lines.emplace_back(line);
    }
  };
  tolbu_sdk::logging::Logger& logger_;
  int saved_level_;
  std::shared_ptr<Sink> handler_;
};

}  // namespace tolbu_test
