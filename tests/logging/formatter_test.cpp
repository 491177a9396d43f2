// Record layouts, date layouts (read in local time: the suite runs with TZ=UTC) and
// exception rendering.
#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace logging = tolbu_sdk::logging;

namespace {

// 2024-05-17 09:30:05.042 UTC
constexpr std::int64_t kCreated = 1715938205042;

logging::LogRecord record(std::string_view message, int level = logging::INFO,
                          std::int64_t created = kCreated) {
  logging::LogRecord r;
  r.name = "tolbu_sdk.core";
  r.levelno = level;
  r.levelname = level == logging::INFO      ? "INFO"
                : level == logging::WARNING ? "WARNING"
                                            : "Level 25";
  r.created_ms = created;
  r.message = message;
  return r;
}

struct BrokenFeed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(Formatter, FileLayoutFields) {
  const logging::Formatter f("%(asctime)s.%(msecs)03d | %(levelname)-8s | %(name)s | %(message)s",
                             "%Y-%m-%d %H:%M:%S");
  EXPECT_EQ(f.format(record("Connected")),
            "2024-05-17 09:30:05.042 | INFO     | tolbu_sdk.core | Connected");
  EXPECT_EQ(f.format(record("x", logging::WARNING, kCreated - 42 + 7)),
            "2024-05-17 09:30:05.007 | WARNING  | tolbu_sdk.core | x");
  // The date cache must not serve a neighbouring second.
  EXPECT_EQ(f.format(record("y", logging::INFO, kCreated + 1000)).substr(0, 23),
            "2024-05-17 09:30:06.042");
  EXPECT_EQ(f.format_time(record("")), "2024-05-17 09:30:05");
}

TEST(Formatter, BeforeTheEpochMillisecondsStayPositive) {
  const logging::Formatter f("%(asctime)s.%(msecs)03d", "%Y-%m-%d %H:%M:%S");
  EXPECT_EQ(f.format(record("", logging::INFO, -1)), "1969-12-31 23:59:59.999");
}

TEST(Formatter, PrintfStyleFlagsAndOtherFields) {
  const logging::Formatter f(
      "[%(levelno)s|%(levelno)5d|%(levelno)-4d|%(levelno)04d|%(levelname)10s|%(name).5s|%(msecs)s|"
      "%(created)f|%(created).1f|100%%] %(message)s");
  EXPECT_EQ(f.format(record("m", 25)),
            "[25|   25|25  |0025|  Level 25|tolbu|42.0|1715938205.042000|1715938205.0|100%] m");
  EXPECT_EQ(logging::Formatter().format(record("hello")), "INFO:tolbu_sdk.core:hello");
  EXPECT_EQ(logging::Formatter("plain text").format(record("ignored")), "plain text");
  EXPECT_EQ(logging::Formatter("%(message)s", "").format_time(record("")), "");
}

TEST(Formatter, MalformedLayoutsAreRejectedUpFront) {
  for (const char* bad : {"%(nope)s", "%(message)", "%(message", "100% done", "%(name)d",
                          "%(levelno)x", "%s", "trailing %"})
    EXPECT_THROW(logging::Formatter{bad}, tolbu_sdk::ValueError) << bad;
}

TEST(Formatter, ExceptionTypeAndMessageOnTheNextLines) {
  std::exception_ptr exc;
  try {
    try {
      throw BrokenFeed("socket closed\n");
    } catch (...) {
      std::throw_with_nested(tolbu_sdk::RuntimeError("subscribe failed"));
    }
  } catch (...) {
    exc = std::current_exception();
  }
  EXPECT_EQ(logging::Formatter::format_exception(exc),
            "tolbu_sdk::RuntimeError: subscribe failed\n"
            "Caused by: (anonymous namespace)::BrokenFeed: socket closed");
  EXPECT_EQ(logging::Formatter::format_exception(std::make_exception_ptr(42)), "int");
  EXPECT_EQ(logging::Formatter::format_exception(nullptr), "");

  auto r = record("Callback failed");
  r.exc_info = std::make_exception_ptr(std::invalid_argument("bad symbol"));
  EXPECT_EQ(logging::Formatter("%(message)s").format(r),
            "Callback failed\nstd::invalid_argument: bad symbol");
  // A message that already ends its line gets no blank line before the exception.
  auto r2 = record("ends\n");
  r2.exc_info = r.exc_info;
  EXPECT_EQ(logging::Formatter("%(message)s").format(r2),
            "ends\nstd::invalid_argument: bad symbol");
}

}  // namespace
