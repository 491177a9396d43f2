// The RSI example, a strategy on the kit, against tolbu-sim over two symbols, live and in a
// backtest: it trades, flattens at the end, and its net P&L is the back end's to the cent.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "example_process.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"

namespace {

using namespace std::chrono_literals;

// Runs the example to its end; its trade count and net P&L as printed.
std::pair<int, double> run_example(const std::vector<std::string>& args,
                                   const std::filesystem::path* dir = nullptr) {
  ::setenv("TOLBU_JWT", "t", 1);  // the token never goes on the command line
  tolbu_test::ExampleProcess example(RSI_REVERSION_PATH, args);
  const auto trades = example.wait_for_line("Trades: ", 60s);
  const auto net = example.wait_for_line("Net P&L: ", 5s);
  EXPECT_EQ(example.wait_for_line("Back end: ", 10s), "positions agree");
  EXPECT_EQ(example.wait_exit(20s), 0);
  if (!trades || !net) {
    ADD_FAILURE() << "no summary";
    return {0, 0.0};
  }
  if (dir) std::filesystem::copy(example.dir() / "report", *dir);
  return {std::stoi(*trades), std::stod(*net)};
}

// The back end's result for the account: realised P&L less every fee; every position flat.
double backend_net(const tolbu_test::SimProcess& sim) {
  const auto config =
      tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), "t");
  tolbu_sdk::features::OrderService service(config);
  const auto accounts = service.get_accounts();
  if (!accounts || accounts->empty()) {
    ADD_FAILURE() << "no account";
    return 0.0;
  }
  double fees = 0.0;
  for (const auto& trade : service.get_trades("SIM0001")) fees += trade.fee;
  for (const auto& position : accounts->front().at("positions").as_array()) {
    EXPECT_EQ(position.at("qty").to_number<std::int64_t>(), 0) << "flattened on stop";
  }
  return accounts->front().at("totalRealizedPnl").to_number<double>() - fees;
}

TEST(RsiExample, LiveNetPnlIsTheBackEndsToTheCent) {
  tolbu_test::SimProcess sim({"--speed", "240", "--tick-ms", "50", "--seed", "7", "--jwt", "t"});
  const auto [trades, net] =
      run_example({"--backend", sim.base_url(), "--symbol", "HPG,VN30F2412", "--duration", "12",
                   "--control-port", "0", "--set", "oversold=45", "--set", "overbought=55"});
  EXPECT_GT(trades, 0);
  EXPECT_NEAR(net, backend_net(sim), 0.005);
}

TEST(RsiExample, TheSameClassBacktestsTwoSymbolsInOneReplay) {
  tolbu_test::SimProcess sim({"--replay", "--seed", "3", "--jwt", "t"});
  const auto out =
      std::filesystem::temp_directory_path() / ("tolbu-rsi-" + std::to_string(::getpid()));
  std::filesystem::remove_all(out);
  const auto [trades, net] =
      run_example({"--backend", sim.base_url(), "--symbol", "HPG,VN30F2412", "--backtest", "--from",
                   "2024-01-02", "--bars", "3000", "--capital", "100000000", "--control-port", "-1",
                   "--report-dir", "report", "--set", "oversold=40", "--set", "overbought=60"},
                  &out);
  EXPECT_GT(trades, 0);
  EXPECT_NEAR(net, backend_net(sim), 0.005);
  // One report over both symbols: every bar, every trade, net of fees.
  std::ifstream in(out / "report.json");
  const auto report = boost::json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ(report.at("metrics").at("bars").to_number<int>(), 3000);
  EXPECT_EQ(report.at("metrics").at("trades").to_number<int>(), trades);
  EXPECT_NEAR(report.at("metrics").at("total_pnl").to_number<double>(), net, 0.005);
  std::set<std::string> symbols;
  for (const auto& t : report.at("trades").as_array()) {
    symbols.insert(std::string(t.at("symbol").as_string()));
  }
  EXPECT_EQ(symbols.size(), 2u);
  std::filesystem::remove_all(out);
}

}  // namespace
