// The kit's command line: what every strategy on it accepts, and what it refuses.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tolbu_sdk/kit/strategy.hpp"

namespace {

namespace kit = tolbu_sdk::kit;
using tolbu_sdk::kit::parse_run_options;
using tolbu_sdk::kit::RunOptions;

std::optional<RunOptions> parse(std::vector<std::string> args, int& code) {
  args.insert(args.begin(), "strategy");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  auto out = parse_run_options(static_cast<int>(argv.size()), argv.data(), RunOptions{}, code);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return out;
}

TEST(KitOptions, RefusedWithAReasonOrReadWhole) {
  ::setenv("TOLBU_JWT", "env-token", 1);
  struct Case {
    std::vector<std::string> args;
    int code;  // -1: parsed
  };
  const Case refused[] = {
      {{}, 2},                                         // no symbol
      {{"--symbol", "HPG", "--jwt", "T"}, 2},          // never a token on the command line
      {{"--symbol", "HPG", "--resolution", "0"}, 2},
      {{"--symbol", "HPG", "--control-port", "70000"}, 2},
      {{"--symbol", "HPG", "--set", "novalue"}, 2},
      {{"--symbol", "HPG", "--backtest"}, 2},          // no range
      {{"--symbol", "HPG", "--backtest", "--from", "2024-01-02", "--to", "2024-01-01"}, 2},
      {{"--symbol", "HPG", "--from", "2024-13-01"}, 2},
      {{"--symbol", "HPG", "--bogus", "1"}, 2},
      {{"--symbol", "HPG", "--linger", "-1"}, 2},
      {{"--symbol", "HPG", "--linger", "soon"}, 2},
      {{"--symbol", "HPG", "--max-order-qty", "-1"}, 2},
      {{"--symbol", "HPG", "--max-loss", "5"}, 2},
      {{"--help"}, 0},
  };
  for (const auto& c : refused) {
    int code = -1;
    EXPECT_FALSE(parse(c.args, code)) << c.args.size();
    EXPECT_EQ(code, c.code);
  }

  int code = -1;
  const auto o = parse({"--symbol", "HPG,VN30F2412", "--symbol", "FPT", "--backend",
                        "https://api.example:8443/x", "--backtest", "--from", "2024-01-02",
                        "--bars", "10", "--set", "period=14", "--set", "name=a=b", "--title",
                        "SMA 3/8", "--linger", "2.5"},
                       code);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->symbols, (std::vector<std::string>{"HPG", "VN30F2412", "FPT"}));
  EXPECT_EQ(o->token, "env-token");
  EXPECT_EQ(o->ws, "wss://api.example:8443/connection/websocket");
  EXPECT_EQ(o->to_ms - o->from_ms, 10 * 60 * 1000);
  EXPECT_EQ(o->params.at("name"), "a=b");
  EXPECT_EQ(o->control_host, "127.0.0.1");  // local unless asked
  EXPECT_EQ(o->title, "SMA 3/8");
  EXPECT_DOUBLE_EQ(o->linger_seconds, 2.5);
  EXPECT_FALSE(o->risk);  // the guard is opt-in

  // Any risk option turns the guard on, the other limits keeping their defaults.
  const auto risky = parse({"--symbol", "HPG", "--max-daily-loss", "250", "--max-order-qty", "0"},
                           code);
  ASSERT_TRUE(risky && risky->risk);
  EXPECT_DOUBLE_EQ(risky->risk->max_daily_loss, 250);
  EXPECT_EQ(risky->risk->max_order_qty, 0);
  EXPECT_EQ(risky->risk->max_open_positions, kit::RiskLimits{}.max_open_positions);
  EXPECT_TRUE(parse({"--symbol", "HPG", "--risk"}, code)->risk);
  EXPECT_FALSE(parse({"--symbol", "HPG", "--risk", "--no-risk"}, code)->risk);

  // A trailing Z reads the time as UTC, whatever the local zone; a date alone takes none.
  ::setenv("TZ", "Asia/Ho_Chi_Minh", 1);
  ::tzset();
  EXPECT_EQ(tolbu_sdk::kit::parse_time_ms("2024-01-02T02:00:00Z"), 1704160800000);
  EXPECT_EQ(tolbu_sdk::kit::parse_time_ms("2024-01-02T02:00Z"), 1704160800000);
  EXPECT_EQ(tolbu_sdk::kit::parse_time_ms("2024-01-02T09:00:00"), 1704160800000);
  EXPECT_FALSE(tolbu_sdk::kit::parse_time_ms("2024-01-02Z"));
  EXPECT_FALSE(tolbu_sdk::kit::parse_time_ms("2024-02-30T02:00Z"));
  ::setenv("TZ", "UTC", 1);
  ::tzset();

  // A token file wins over the environment; without either, no run.
  const std::string file = testing::TempDir() + "kit-token";
  std::ofstream(file) << "file-token\n";
  EXPECT_EQ(parse({"--symbol", "HPG", "--token-file", file}, code)->token, "file-token");
  ::unsetenv("TOLBU_JWT");
  EXPECT_FALSE(parse({"--symbol", "HPG"}, code));
  EXPECT_EQ(code, 2);

  // A sim inside the program needs no token, and takes its options in order.
  const auto inproc = parse({"--symbol", "HPG", "--inproc", "--sim-arg", "--seed", "--sim-arg",
                             "7", "--backtest", "--from", "2024-01-02", "--bars", "5"},
                            code);
  ASSERT_TRUE(inproc);
  EXPECT_TRUE(inproc->inproc);
  EXPECT_EQ(inproc->sim_args, (std::vector<std::string>{"--seed", "7"}));
  EXPECT_FALSE(inproc->token.empty());
  EXPECT_EQ(kit::streaming_url("inproc://sim-1"), "inproc://sim-1/connection/websocket");
}

}  // namespace
