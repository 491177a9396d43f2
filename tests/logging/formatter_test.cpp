// Record and date layouts (local time; the suite runs with TZ=UTC) and exception rendering.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace logging = tolbu_sdk::logging;

namespace {

logging::LogRecord record(std::string_view message, std::int64_t created = 1715938205042) {
  return {.name = "tolbu_sdk.core",
          .levelno = 25,
          .levelname = "Level 25",
          .created_ms = created,
          .message = message};
}

struct BrokenFeed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(Formatter, LayoutFieldsWithPrintfFlags) {
  const logging::Formatter f(
      "%(asctime)s.%(msecs)03d [%(levelno)s|%(levelno)5d|%(levelno)-4d|%(levelno)04d|"
      "%(levelname)-10s|%(name).5s|%(msecs)s|%(created).1f|100%%] %(message)s");
  EXPECT_EQ(
      f.format(record("m")),
      "2024-05-17 09:30:05.042 [25|   25|25  |0025|Level 25  |tolbu|42.0|1715938205.0|100%] m");
  // The per-thread date cache must not serve a neighbouring second; times before 1970 too.
  EXPECT_EQ(f.format_time(record("", 1715938206000)), "2024-05-17 09:30:06");
  EXPECT_EQ(logging::Formatter("%(asctime)s.%(msecs)03d").format(record("", -1)),
            "1969-12-31 23:59:59.999");
  EXPECT_EQ(logging::Formatter().format(record("hi")), "Level 25:tolbu_sdk.core:hi");
  for (const char* bad :
       {"%(nope)s", "%(message)", "%(message", "100% done", "%(name)d", "%(levelno)x"})
    EXPECT_THROW(logging::Formatter{bad}, tolbu_sdk::ValueError) << bad;
}

TEST(Formatter, ExceptionTypeAndMessageOnTheFollowingLines) {
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
  auto r = record("Callback failed");
  r.exc_info = exc;
  EXPECT_EQ(logging::Formatter("%(message)s").format(r),
            "Callback failed\ntolbu_sdk::RuntimeError: subscribe failed\n"
            "Caused by: (anonymous namespace)::BrokenFeed: socket closed");
  r.message = "ends its line\n";  // no blank line before the exception
  r.exc_info = std::make_exception_ptr(42);
  EXPECT_EQ(logging::Formatter("%(message)s").format(r), "ends its line\nint");
  EXPECT_EQ(logging::Formatter::format_exception(nullptr), "");
}

}  // namespace
