// The strategy logger's trading lines, exact to the colour code, and its plain operations.
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "journal_support.hpp"

namespace logging = tolbu_sdk::logging;
namespace utils = tolbu_sdk::utils;
using tolbu_test::read_file;
using utils::StrategyLogger;

namespace {

constexpr const char* G = "\x1b[32m";  // buy, profit
constexpr const char* R = "\x1b[31m";  // sell, loss
constexpr const char* Z = "\x1b[0m";

class StrategyLoggerTest : public tolbu_test::JournalTest {
 protected:
  StrategyLoggerTest() {
    utils::setup_logging("DEBUG", file("main.log"), file("warn.log"), file("stream.log"), false);
    memory_->set_formatter(
        std::make_shared<logging::Formatter>("%(levelname)s|%(name)s|%(message)s"));
    logging::root_logger().add_handler(memory_);
  }
  std::vector<std::string> lines() const { return memory_->lines(); }
  std::string last() const { return lines().empty() ? "" : lines().back(); }

  std::shared_ptr<tolbu_test::MemoryHandler> memory_ =
      std::make_shared<tolbu_test::MemoryHandler>();
};

TEST_F(StrategyLoggerTest, OrderLines) {
  StrategyLogger log("alpha");
  EXPECT_EQ(log.strategy_name, "alpha");
  EXPECT_EQ(log.logger().name(), "tolbu_sdk.strategy.alpha");
  log.order("buy", "ABC", 100, 150.25);
  EXPECT_EQ(last(),
            fmt::format("INFO|tolbu_sdk.strategy.alpha|ORDER: {}BUY{} ABC 100@150.25", G, Z));
  log.order("long", "ABC", 1, 150);
  EXPECT_EQ(last(), fmt::format("INFO|tolbu_sdk.strategy.alpha|ORDER: {}LONG{} ABC 1@150.0", G, Z));
  log.order("short", "VN30F2406", 3, 1e-5);
  EXPECT_EQ(last(),
            fmt::format("INFO|tolbu_sdk.strategy.alpha|ORDER: {}SHORT{} VN30F2406 3@1e-05", R, Z));
  log.order("Sell", "X", -2, 1e16);
  EXPECT_EQ(last(), fmt::format("INFO|tolbu_sdk.strategy.alpha|ORDER: {}SELL{} X -2@1e+16", R, Z));
}

TEST_F(StrategyLoggerTest, TradeLines) {
  StrategyLogger log("alpha");
  log.trade("ABC", "sell", 100, 151.0, 75);
  EXPECT_EQ(
      last(),
      fmt::format("INFO|tolbu_sdk.strategy.alpha|TRADE: {}sell{} ABC 100@151.0 P&L: {}+75.00{}", R,
                  Z, G, Z));
  log.trade("ABC", "b", 5, 150.5);
  EXPECT_EQ(last(), fmt::format("INFO|tolbu_sdk.strategy.alpha|TRADE: {}b{} ABC 5@150.5", G, Z));
  log.trade("ABC", "Buy", 5, 150.5, -0.01);
  EXPECT_EQ(last(),
            fmt::format("INFO|tolbu_sdk.strategy.alpha|TRADE: {}Buy{} ABC 5@150.5 P&L: {}-0.01{}",
                        G, Z, R, Z));
  log.trade("ABC", "S", 5, 150.5, 12.345);  // rounded to two decimals of the stored value
  EXPECT_TRUE(last().ends_with(fmt::format(" P&L: {}+12.35{}", G, Z))) << last();
  log.trade("ABC", "S", 5, 150.5, std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(last().ends_with(fmt::format(" P&L: {}+nan{}", R, Z))) << last();
}

TEST_F(StrategyLoggerTest, PositionBarAndRiskLines) {
  StrategyLogger log("alpha");
  log.position("long", "ABC", 100, 150.0);
  EXPECT_EQ(last(),
            fmt::format("INFO|tolbu_sdk.strategy.alpha|POSITION LONG: ABC 100@150.0 P&L: {}+0.00{}",
                        G, Z));
  log.position("Close", "ABC", 100, 150.0, -3.1);
  EXPECT_EQ(
      last(),
      fmt::format("INFO|tolbu_sdk.strategy.alpha|POSITION CLOSE: ABC 100@150.0 P&L: {}-3.10{}", R,
                  Z));
  log.bar("ABC", 150, 151.5, 149.75, 151, 900);
  EXPECT_EQ(last(),
            "DEBUG|tolbu_sdk.strategy.alpha|BAR: ABC O=150.0 H=151.5 L=149.75 C=151.0 V=900.0");
  // Texts are never taken as format strings.
  log.risk("Daily loss 100% of {limit}");
  EXPECT_EQ(last(), "WARNING|tolbu_sdk.strategy.alpha|RISK: Daily loss 100% of {limit}");
  // WARNING reaches the warning file, with the colour codes of other lines left out of it.
  log.trade("ABC", "sell", 1, 2.0, 1.0);
  const std::string warn = read_file(file("warn.log"));
  EXPECT_EQ(tolbu_test::lines_of(warn).size(), 1u);
  EXPECT_TRUE(
      warn.ends_with(" | WARNING  | tolbu_sdk.strategy.alpha | RISK: Daily loss 100% of {limit}\n"))
      << warn;
  // Colour codes of the message reach the main file unchanged.
  EXPECT_NE(read_file(file("main.log")).find(fmt::format("TRADE: {}sell{} ABC", R, Z)),
            std::string::npos);
}

TEST_F(StrategyLoggerTest, PlainOperationsSubstituteAndCarryExceptions) {
  StrategyLogger log("beta");
  StrategyLogger same("beta");
  EXPECT_EQ(&log.logger(), &same.logger());
  log.debug("d {}", 1);
  log.info("i {} {}", "two", 2.5);
  log.warning("w");
  log.error("e {:>3}", 7);
  log.critical("c");
  const auto exc = std::make_exception_ptr(std::runtime_error("boom"));
  log.error(exc, "failed {}", "order");
  log.exception(exc, "again");
  log.info(exc, "noted");
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "DEBUG|tolbu_sdk.strategy.beta|d 1",
                         "INFO|tolbu_sdk.strategy.beta|i two 2.5",
                         "WARNING|tolbu_sdk.strategy.beta|w",
                         "ERROR|tolbu_sdk.strategy.beta|e   7",
                         "CRITICAL|tolbu_sdk.strategy.beta|c",
                         "ERROR|tolbu_sdk.strategy.beta|failed order\nstd::runtime_error: boom",
                         "ERROR|tolbu_sdk.strategy.beta|again\nstd::runtime_error: boom",
                         "INFO|tolbu_sdk.strategy.beta|noted\nstd::runtime_error: boom",
                     }));
}

TEST_F(StrategyLoggerTest, LinesBelowTheLevelAreDropped) {
  logging::get_logger("tolbu_sdk.strategy").set_level(logging::WARNING);
  StrategyLogger log("gamma");
  log.bar("ABC", 1, 2, 3, 4, 5);
  log.order("buy", "ABC", 1, 1);
  log.risk("kept");
  EXPECT_EQ(lines(), std::vector<std::string>{"WARNING|tolbu_sdk.strategy.gamma|RISK: kept"});
}

class StrategyLoggerFirstUse : public tolbu_test::JournalTest {};

TEST_F(StrategyLoggerFirstUse, CreatesTheDefaultFiles) {
  tolbu_test::CapturedFd out(1);
  StrategyLogger log("alpha");
  log.info("hello");
  EXPECT_TRUE(utils::logging_configured());
  for (const char* f : {"logs/tolbu_strategy.log", "logs/warn.log", "logs/stream.log"})
    EXPECT_TRUE(tolbu_test::fs::exists(file(f))) << f;
  EXPECT_TRUE(read_file(file("logs/tolbu_strategy.log"))
                  .ends_with(" | INFO     | tolbu_sdk.strategy.alpha | hello\n"));
  EXPECT_NE(out.text().find("tolbu_sdk.strategy.alpha\x1b[0m | hello"), std::string::npos);
}

}  // namespace
