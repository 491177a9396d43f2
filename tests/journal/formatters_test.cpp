// The console's and the files' exact layouts (read in local time: the suite runs with TZ=UTC).
#include <gtest/gtest.h>

#include <stdexcept>

#include "tolbu_sdk/utils/journal.hpp"

namespace logging = tolbu_sdk::logging;
using tolbu_sdk::utils::ColoredFormatter;
using tolbu_sdk::utils::Colors;
using tolbu_sdk::utils::DetailedFormatter;

namespace {

logging::LogRecord record(int level, std::string_view levelname, std::string_view message) {
  logging::LogRecord r;
  r.name = "tolbu_sdk.core";
  r.levelno = level;
  r.levelname = levelname;
  r.created_ms = 1715938205042;  // 2024-05-17 09:30:05.042 UTC
  r.message = message;
  return r;
}

TEST(Colors, EscapeSequences) {
  EXPECT_STREQ(Colors::RESET, "\x1b[0m");
  EXPECT_STREQ(Colors::BOLD, "\x1b[1m");
  EXPECT_STREQ(Colors::DEBUG, "\x1b[36m");
  EXPECT_STREQ(Colors::INFO, "\x1b[32m");
  EXPECT_STREQ(Colors::WARNING, "\x1b[33m");
  EXPECT_STREQ(Colors::ERROR, "\x1b[31m");
  EXPECT_STREQ(Colors::CRITICAL, "\x1b[35m");
  EXPECT_STREQ(Colors::TIMESTAMP, "\x1b[90m");
  EXPECT_STREQ(Colors::NAME, "\x1b[34m");
  EXPECT_STREQ(Colors::BUY, "\x1b[32m");
  EXPECT_STREQ(Colors::SELL, "\x1b[31m");
  EXPECT_STREQ(Colors::PROFIT, "\x1b[32m");
  EXPECT_STREQ(Colors::LOSS, "\x1b[31m");
}

TEST(ColoredFormatter, ColouredPiecesJoinedBySeparators) {
  const ColoredFormatter f;
  EXPECT_EQ(f.format(record(logging::INFO, "INFO", "Connected")),
            "\x1b[90m2024-05-17 09:30:05.042\x1b[0m | \x1b[32mINFO    \x1b[0m | "
            "\x1b[34mtolbu_sdk.core\x1b[0m | Connected");
  for (const auto& [level, color] : ColoredFormatter::LEVEL_COLORS) {
    const std::string name = logging::level_name(level);
    const std::string line = f.format(record(level, name, "m"));
    EXPECT_NE(line.find(fmt::format(" | {}{:<8}\x1b[0m | ", color, name)), std::string::npos)
        << line;
  }
  EXPECT_EQ(ColoredFormatter::LEVEL_COLORS[2].second, Colors::WARNING);
  // A level outside the table is not coloured.
  EXPECT_EQ(f.format(record(25, "Level 25", "between")),
            "\x1b[90m2024-05-17 09:30:05.042\x1b[0m | \x1b[0mLevel 25\x1b[0m | "
            "\x1b[34mtolbu_sdk.core\x1b[0m | between");
}

TEST(ColoredFormatter, ExceptionOnTheFollowingLine) {
  auto r = record(logging::ERROR, "ERROR", "Callback failed");
  r.exc_info = std::make_exception_ptr(std::runtime_error("boom"));
  const std::string line = ColoredFormatter().format(r);
  EXPECT_TRUE(line.ends_with("| Callback failed\nstd::runtime_error: boom")) << line;
}

TEST(DetailedFormatter, FileLayout) {
  const DetailedFormatter f;
  EXPECT_EQ(f.layout(), "%(asctime)s.%(msecs)03d | %(levelname)-8s | %(name)s | %(message)s");
  EXPECT_EQ(f.date_layout(), "%Y-%m-%d %H:%M:%S");
  auto r = record(logging::WARNING, "WARNING", "Order rejected");
  r.name = "tolbu_sdk.features.orders";
  EXPECT_EQ(f.format(r),
            "2024-05-17 09:30:05.042 | WARNING  | tolbu_sdk.features.orders | Order rejected");
  // Colour codes inside the message pass through unchanged.
  EXPECT_EQ(f.format(record(logging::INFO, "INFO", "\x1b[32mBUY\x1b[0m")),
            "2024-05-17 09:30:05.042 | INFO     | tolbu_sdk.core | \x1b[32mBUY\x1b[0m");
  r.exc_info = std::make_exception_ptr(std::logic_error("no quote"));
  EXPECT_TRUE(f.format(r).ends_with("| Order rejected\nstd::logic_error: no quote"));
}

}  // namespace
