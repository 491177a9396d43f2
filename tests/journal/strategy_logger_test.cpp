// The strategy logger's trading lines, exact to the colour code, and its plain operations.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "journal_support.hpp"

namespace logging = tolbu_sdk::logging;
namespace utils = tolbu_sdk::utils;
using tolbu_test::Lines;
using tolbu_test::read_file;

namespace {

constexpr const char* G = "\x1b[32m";  // buy, profit
constexpr const char* R = "\x1b[31m";  // sell, loss
constexpr const char* Z = "\x1b[0m";

class StrategyLoggerTest : public tolbu_test::JournalTest {
 protected:
  StrategyLoggerTest() {
    utils::setup_logging("DEBUG", file("main.log"), file("warn.log"), file("stream.log"), false);
    memory_->set_formatter(std::make_shared<logging::Formatter>("%(levelname)s %(message)s"));
    logging::root_logger().add_handler(memory_);
  }
  std::string last() const { return memory_->lines.back(); }
  std::shared_ptr<tolbu_test::MemoryHandler> memory_ =
      std::make_shared<tolbu_test::MemoryHandler>();
};

TEST_F(StrategyLoggerTest, TradingLines) {
  utils::StrategyLogger log("alpha");
  EXPECT_EQ(log.logger().name(), "tolbu_sdk.strategy.alpha");
  log.order("buy", "ABC", 100, 150.25);
  EXPECT_EQ(last(), fmt::format("INFO ORDER: {}BUY{} ABC 100@150.25", G, Z));
  log.order("long", "ABC", 1, 150);
  EXPECT_EQ(last(), fmt::format("INFO ORDER: {}LONG{} ABC 1@150.0", G, Z));
  log.order("short", "X", -2, 1e-5);
  EXPECT_EQ(last(), fmt::format("INFO ORDER: {}SHORT{} X -2@1e-05", R, Z));

  log.trade("ABC", "sell", 100, 151.0, 75);
  EXPECT_EQ(last(), fmt::format("INFO TRADE: {}sell{} ABC 100@151.0 P&L: {}+75.00{}", R, Z, G, Z));
  log.trade("ABC", "b", 5, 1e16);
  EXPECT_EQ(last(), fmt::format("INFO TRADE: {}b{} ABC 5@1e+16", G, Z));
  log.trade("ABC", "Buy", 5, 150.5, -0.01);
  EXPECT_EQ(last(), fmt::format("INFO TRADE: {}Buy{} ABC 5@150.5 P&L: {}-0.01{}", G, Z, R, Z));
  log.trade("ABC", "S", 5, 150.5, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(last().ends_with(fmt::format(" P&L: {}+nan{}", R, Z))) << last();

  log.position("long", "ABC", 100, 150.0);
  EXPECT_EQ(last(), fmt::format("INFO POSITION LONG: ABC 100@150.0 P&L: {}+0.00{}", G, Z));
  log.position("Close", "ABC", 100, 150.0, -3.1);
  EXPECT_EQ(last(), fmt::format("INFO POSITION CLOSE: ABC 100@150.0 P&L: {}-3.10{}", R, Z));
  log.bar("ABC", 150, 151.5, 149.75, 151, 900);
  EXPECT_EQ(last(), "DEBUG BAR: ABC O=150.0 H=151.5 L=149.75 C=151.0 V=900.0");
  log.risk("Daily loss 100% of {limit}");  // plain text, never a format string
  EXPECT_EQ(last(), "WARNING RISK: Daily loss 100% of {limit}");

  // Only the risk line reaches the warning file; colour codes reach the files unchanged.
  EXPECT_EQ(tolbu_test::entries(read_file(file("warn.log"))),
            Lines{"WARNING tolbu_sdk.strategy.alpha RISK: Daily loss 100% of {limit}"});
  EXPECT_NE(read_file(file("main.log")).find(fmt::format("TRADE: {}sell{} ABC", R, Z)),
            std::string::npos);
}

TEST_F(StrategyLoggerTest, PlainOperationsSubstituteAndCarryExceptions) {
  utils::StrategyLogger log("beta"), same("beta");
  EXPECT_EQ(log.strategy_name, "beta");
  EXPECT_EQ(&log.logger(), &same.logger());
  const auto exc = std::make_exception_ptr(std::runtime_error("boom"));
  log.debug("d {}", 1);
  log.info("i {} {}", "two", 2.5);
  log.warning("w");
  log.error(exc, "failed {:>3}", 7);
  log.critical("c");
  log.exception(exc, "again");
  logging::get_logger("tolbu_sdk.strategy").set_level(logging::WARNING);
  log.bar("ABC", 1, 2, 3, 4, 5);
  log.order("buy", "ABC", 1, 1);
  EXPECT_EQ(memory_->lines, (Lines{"DEBUG d 1", "INFO i two 2.5", "WARNING w",
                                   "ERROR failed   7\nstd::runtime_error: boom", "CRITICAL c",
                                   "ERROR again\nstd::runtime_error: boom"}));
}

class StrategyLoggerFirstUse : public tolbu_test::JournalTest {};

TEST_F(StrategyLoggerFirstUse, CreatesTheDefaultFiles) {
  tolbu_test::CapturedFd out(1);
  utils::StrategyLogger("alpha").info("hello");
  for (const char* f : {"logs/warn.log", "logs/stream.log"})
    EXPECT_TRUE(tolbu_test::fs::exists(file(f))) << f;
  EXPECT_EQ(tolbu_test::entries(read_file(file("logs/tolbu_strategy.log"))),
            Lines{"INFO tolbu_sdk.strategy.alpha hello"});
  EXPECT_EQ(tolbu_test::entries(out.text()), Lines{"INFO tolbu_sdk.strategy.alpha hello"});
}

}  // namespace
