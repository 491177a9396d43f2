// The console's and the files' exact layouts (local time; the suite runs with TZ=UTC).
#include <gtest/gtest.h>

#include <stdexcept>

#include "tolbu_sdk/utils/journal.hpp"

namespace logging = tolbu_sdk::logging;
using tolbu_sdk::utils::ColoredFormatter;
using tolbu_sdk::utils::DetailedFormatter;

namespace {

logging::LogRecord record(int level, std::string_view levelname, std::string_view message) {
  return {.name = "tolbu_sdk.core",
          .levelno = level,
          .levelname = levelname,
          .created_ms = 1715938205042,
          .message = message};  // 2024-05-17 09:30:05.042 UTC
}

TEST(ColoredFormatter, ColouredPiecesJoinedBySeparators) {
  const ColoredFormatter f;
  EXPECT_EQ(f.format(record(logging::INFO, "INFO", "Connected")),
            "\x1b[90m2024-05-17 09:30:05.042\x1b[0m | \x1b[32mINFO    \x1b[0m | "
            "\x1b[34mtolbu_sdk.core\x1b[0m | Connected");
  const std::pair<int, const char*> expected[] = {
      {10, "\x1b[36m"}, {20, "\x1b[32m"}, {30, "\x1b[33m"}, {40, "\x1b[31m"}, {50, "\x1b[35m"}};
  for (const auto& [level, color] : expected) {
    const std::string name = logging::level_name(level);
    EXPECT_NE(
        f.format(record(level, name, "m")).find(fmt::format(" | {}{:<8}\x1b[0m | ", color, name)),
        std::string::npos)
        << name;
  }
  // A level outside the table gets no colour; exception information follows the line.
  auto r = record(25, "Level 25", "between");
  r.exc_info = std::make_exception_ptr(std::runtime_error("boom"));
  EXPECT_EQ(f.format(r),
            "\x1b[90m2024-05-17 09:30:05.042\x1b[0m | \x1b[0mLevel 25\x1b[0m | "
            "\x1b[34mtolbu_sdk.core\x1b[0m | between\nstd::runtime_error: boom");
}

TEST(DetailedFormatter, FileLayoutPassesColourCodesThrough) {
  const DetailedFormatter f;
  auto r = record(logging::WARNING, "WARNING", "Order \x1b[31mrejected\x1b[0m");
  r.name = "tolbu_sdk.features.orders";
  EXPECT_EQ(f.format(r),
            "2024-05-17 09:30:05.042 | WARNING  | tolbu_sdk.features.orders | Order "
            "\x1b[31mrejected\x1b[0m");
  r.exc_info = std::make_exception_ptr(std::logic_error("no quote"));
  EXPECT_TRUE(f.format(r).ends_with("rejected\x1b[0m\nstd::logic_error: no quote"));
}

}  // namespace
