// The RSI example, a strategy on the kit, live against tolbu-sim over two symbols: it trades,
// flattens at the end, and its net P&L is the back end's to the cent.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cstdlib>
#include <string>

#include "example_process.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"

namespace {

using namespace std::chrono_literals;

TEST(RsiExample, LiveNetPnlIsTheBackEndsToTheCent) {
  tolbu_test::SimProcess sim({"--speed", "240", "--tick-ms", "50", "--seed", "7", "--jwt", "t"});
  ::setenv("TOLBU_JWT", "t", 1);  // the token never goes on the command line
  tolbu_test::ExampleProcess example(
      RSI_REVERSION_PATH, {"--backend", sim.base_url(), "--symbol", "HPG,VN30F2412", "--duration",
                           "12", "--control-port", "0", "--set", "oversold=45", "--set",
                           "overbought=55"});
  const auto trades = example.wait_for_line("Trades: ", 60s);
  const auto net = example.wait_for_line("Net P&L: ", 5s);
  ASSERT_EQ(example.wait_exit(20s), 0);
  ASSERT_TRUE(trades && net);
  EXPECT_GT(std::stoi(*trades), 0);

  const auto config =
      tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), "t");
  tolbu_sdk::features::OrderService service(config);
  const auto accounts = service.get_accounts();
  ASSERT_TRUE(accounts && !accounts->empty());
  double fees = 0.0;
  for (const auto& trade : service.get_trades("SIM0001")) fees += trade.fee;
  for (const auto& position : accounts->front().at("positions").as_array()) {
    EXPECT_EQ(position.at("qty").to_number<std::int64_t>(), 0) << "flattened on stop";
  }
  const double backend_net = accounts->front().at("totalRealizedPnl").to_number<double>() - fees;
  EXPECT_NEAR(std::stod(*net), backend_net, 0.005);
}

}  // namespace
