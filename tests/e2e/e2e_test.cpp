// The example strategy end to end: sma_crossover, a strategy on the kit, against tolbu-sim on
// an accelerated market, watched through its control API and checked against the exchange's
// own books. The token comes from the environment, never from the command line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "example_process.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/platform/http.hpp"

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
using tolbu_test::ExampleProcess;
using tolbu_test::SimProcess;

constexpr const char* kToken = "e2e-token";
constexpr const char* kSymbol = "VN30F2412";
constexpr const char* kAccount = "SIM0001";

// Four one-minute candles per real second, each seen in five ticks: crossovers within seconds.
SimProcess start_sim() {
  return SimProcess({"--speed", "240", "--tick-ms", "50", "--seed", "7", "--jwt", kToken});
}

std::vector<std::string> example_args(const SimProcess& sim, int duration) {
  ::setenv("TOLBU_JWT", kToken, 1);
  return {"--backend",      sim.base_url(),
          "--symbol",       kSymbol,
          "--account",      kAccount,
          "--duration",     std::to_string(duration),
          "--control-port", "0"};
}

// The control API over real HTTP, one connection per request as the server wants it.
class ControlClient {
 public:
  explicit ControlClient(int port)
      : base_("http://127.0.0.1:" + std::to_string(port)),
        http_({.connect_timeout = 5000ms, .stall_timeout = 10000ms, .reuse_connections = false}) {}

  json::value get(const std::string& path) { return call("GET", path); }
  json::value post(const std::string& path) { return call("POST", path); }

 private:
  json::value call(const std::string& method, const std::string& path) {
    auto response = http_.request(method, base_ + path);
    EXPECT_EQ(response.status_code, 200) << method << " " << path << ": " << response.text;
    return response.json();
  }
  std::string base_;
  tolbu_sdk::platform::http::Client http_;
};

int control_port(ExampleProcess& example) {
  auto line = example.wait_for_line("control API on 127.0.0.1:", 60s);
  if (!line) {
    ADD_FAILURE() << "no control port announced\nstdout:\n"
                  << example.output() << "\nstderr:\n"
                  << example.errors();
    return 0;
  }
  return std::stoi(*line);
}

// Polls "/report" until `trades` round trips are done; false when the run ends first or the
// bound passes.
bool wait_for_trades(ControlClient& control, std::size_t trades, std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    auto report = control.get("/report");
    if (report.at("metrics").at("trades").to_number<std::size_t>() >= trades) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// Polls "/logs" until a line holds text.
bool logged(ControlClient& control, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (json::serialize(control.get("/logs?limit=200")).find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

json::value sim_data(const SimProcess& sim, const std::string& path) {
  tolbu_sdk::platform::http::Client http;
  auto response =
      http.get(sim.base_url() + path, {{"Authorization", std::string("Bearer ") + kToken}});
  EXPECT_EQ(response.status_code, 200) << path << ": " << response.text;
  return response.json().at("data");
}

// The fees the exchange charged the account.
double sim_fees(const SimProcess& sim) {
  double fees = 0.0;
  const json::value trades = sim_data(sim, std::string("/api/v1/trades?accountId=") + kAccount);
  for (const auto& trade : trades.as_array()) {
    fees += trade.at("fee").to_number<double>();
  }
  return fees;
}

// The account's position in the symbol as the exchange holds it.
json::object sim_position(const SimProcess& sim) {
  const json::value accounts = sim_data(sim, "/api/v1/accounts");
  for (const auto& account : accounts.as_array()) {
    if (account.at("accountId") != kAccount) continue;
    for (const auto& position : account.at("positions").as_array()) {
      if (position.at("symbol") == kSymbol) return position.as_object();
    }
  }
  return {};
}

// Ends the run through the control API; it must exit cleanly and leave the account flat.
void stop_flat(ControlClient& control, ExampleProcess& example, const SimProcess& sim) {
  control.post("/stop");
  const auto status = example.wait_exit(60s);
  ASSERT_TRUE(status.has_value()) << "still running after /stop";
  EXPECT_EQ(*status, 0) << example.errors();
  EXPECT_EQ(sim_position(sim).at("qty"), 0);
}

TEST(EndToEnd, TradesThroughTheRunAndStopsOnRequest) {
  SimProcess sim = start_sim();
  ExampleProcess example(SMA_CROSSOVER_PATH, example_args(sim, 300));
  const int port = control_port(example);
  ASSERT_GT(port, 0);
  ControlClient control(port);

  EXPECT_EQ(control.get("/status"), json::parse(R"({"status": "RUNNING"})"));
  ASSERT_TRUE(wait_for_trades(control, 2, 90s)) << "no trades; logs:\n"
                                                << json::serialize(control.get("/logs?limit=50"));

  // Orders: the strategy's view agrees with the exchange's, order by order.
  const json::value orders = control.get("/orders");
  const auto& order_list = orders.at("orders").as_array();
  EXPECT_EQ(orders.at("count").to_number<std::size_t>(), order_list.size());
  ASSERT_GE(order_list.size(), 4u);  // two round trips: two entries, two exits
  // The service keeps a reference to its configuration: it must outlive the service.
  const auto config =
      tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), kToken);
  tolbu_sdk::features::OrderService exchange(config);
  std::map<std::string, tolbu_sdk::types::OrderData> on_exchange;
  for (auto& order : exchange.get_orders(std::string(kAccount)))
    on_exchange[order.order_id] = order;
  std::size_t filled = 0;
  for (const auto& entry : order_list) {
    auto order = tolbu_sdk::types::OrderData::from_dict(entry);
    ASSERT_TRUE(on_exchange.contains(order.order_id)) << order.order_id;
    const auto& real = on_exchange[order.order_id];
    EXPECT_EQ(order.symbol, kSymbol);
    EXPECT_EQ(order.account_id, kAccount);
    EXPECT_EQ(order.side, real.side);
    EXPECT_EQ(order.qty, real.qty);
    if (order.status == "FILLED") {
      ++filled;
      EXPECT_EQ(real.status, "FILLED");
      EXPECT_DOUBLE_EQ(order.avg_price, real.avg_price);
    }
  }
  EXPECT_GE(filled, 4u);
  EXPECT_EQ(control.get("/orders?symbol=HPG").at("count"), 0);
  EXPECT_EQ(control.get("/orders?account_id=OTHER").at("count"), 0);

  // Trades: round trips whose gross result follows from their prices, net of their fees.
  const json::value trades = control.get("/trades");
  const auto& trade_list = trades.at("trades").as_array();
  ASSERT_GE(trade_list.size(), 2u);
  EXPECT_EQ(trades.at("count").to_number<std::size_t>(), trade_list.size());
  for (const auto& t : trade_list) {
    const double entry = t.at("entry_price").to_number<double>();
    const double exit = t.at("exit_price").to_number<double>();
    const double qty = t.at("qty").to_number<double>();
    const double direction = t.at("side") == "BUY" ? 1.0 : -1.0;
    const double gross = t.at("gross_pnl").to_number<double>();
    EXPECT_NEAR(gross, direction * (exit - entry) * qty, 1e-6);
    EXPECT_GT(t.at("fees").to_number<double>(), 0.0);
    EXPECT_NEAR(t.at("pnl").to_number<double>(), gross - t.at("fees").to_number<double>(), 1e-6);
  }
  EXPECT_EQ(control.get("/trades?account_id=OTHER").at("count"), 0);

  const json::value report = control.get("/report");
  EXPECT_GE(report.at("metrics").at("trades").to_number<std::size_t>(), trade_list.size());
  EXPECT_GE(report.at("equity_curve").as_array().size(), 2u);
  const double progress = control.get("/progress").at("progress").to_number<double>();
  EXPECT_GT(progress, 0.0);
  EXPECT_LT(progress, 100.0);

  const json::value logs = control.get("/logs?limit=5");
  EXPECT_EQ(logs.at("logs").as_array().size(), 5u);
  EXPECT_EQ(logs.at("total"), 5);
  const std::string all_logs = json::serialize(control.get("/logs?limit=1000"));
  EXPECT_NE(all_logs.find("ORDER: "), std::string::npos);
  EXPECT_NE(all_logs.find("TRADE: "), std::string::npos);
  EXPECT_NE(all_logs.find("POSITION "), std::string::npos);

  // The stop command ends the run long before its 300 seconds.
  EXPECT_EQ(control.post("/stop"), json::parse(R"({"message": "Stop signal sent"})"));
  const auto status = example.wait_exit(60s);
  ASSERT_TRUE(status.has_value()) << "still running after POST /stop";
  EXPECT_EQ(*status, 0) << example.errors();
  const std::string& out = example.output();
  EXPECT_NE(out.find("=== sma_crossover ==="), std::string::npos) << out;
  EXPECT_NE(out.find("VN30F2412: position 0"), std::string::npos) << out;

  // The run left the account flat, and its books match the exchange's result net of fees.
  const json::object position = sim_position(sim);
  ASSERT_FALSE(position.empty());
  EXPECT_EQ(position.at("qty"), 0);
  const auto net_line = out.find("Net P&L: ");
  ASSERT_NE(net_line, std::string::npos) << out;
  const double booked = std::stod(out.substr(net_line + 9));
  EXPECT_NEAR(booked, position.at("realizedPnl").to_number<double>() - sim_fees(sim), 0.011)
      << out;

  // Log files in the working directory, the strategy's lines among them.
  EXPECT_TRUE(std::filesystem::exists(example.dir() / "logs" / "tolbu_strategy.log"));
}

TEST(EndToEnd, InterruptEndsTheRunWithAReport) {
  SimProcess sim = start_sim();
  ExampleProcess example(SMA_CROSSOVER_PATH, example_args(sim, 300));
  const int port = control_port(example);
  ASSERT_GT(port, 0);
  ControlClient control(port);
  ASSERT_TRUE(wait_for_trades(control, 1, 90s));

  example.signal(SIGINT);
  const auto status = example.wait_exit(60s);
  ASSERT_TRUE(status.has_value()) << "still running after SIGINT";
  EXPECT_EQ(*status, 0) << example.errors();
  EXPECT_NE(example.output().find("Net P&L: "), std::string::npos) << example.output();
  EXPECT_EQ(sim_position(sim).at("qty"), 0);
}

// The stream comes back in a new epoch: what was missed cannot be recovered, so the kit takes
// the orders and their fills from REST, and the strategy trades on.
TEST(EndToEnd, AStreamGapIsReconciledFromRest) {
  SimProcess sim = start_sim();
  ExampleProcess example(SMA_CROSSOVER_PATH, example_args(sim, 300));
  const int port = control_port(example);
  ASSERT_GT(port, 0);
  ControlClient control(port);
  ASSERT_TRUE(wait_for_trades(control, 1, 90s));

  EXPECT_EQ(sim.post("/_sim/streaming/restart").status, 200);
  EXPECT_TRUE(
      logged(control, std::string("Stream gap on order:OrderExecutionReport:") + kAccount));
  EXPECT_TRUE(logged(control, "Reconciled from REST"));
  const auto before = control.get("/report").at("metrics").at("trades").to_number<std::size_t>();
  EXPECT_TRUE(wait_for_trades(control, before + 1, 90s)) << "no trade after the gap";
  stop_flat(control, example, sim);
}

// The exchange takes the first order, then the connection drops before the answer: the
// strategy looks the order up by its ref id and carries on with it, never sending it twice.
TEST(EndToEnd, AnOrderWhoseAnswerIsLostIsLookedUpNotSentAgain) {
  SimProcess sim = start_sim();
  ASSERT_EQ(sim.post("/_sim/faults", R"({"count": 1, "drop": true, "act": true,
                                         "path_prefix": "/api/v1/orders/new"})")
                .status,
            200);
  ExampleProcess example(SMA_CROSSOVER_PATH, example_args(sim, 300));
  const int port = control_port(example);
  ASSERT_GT(port, 0);
  ControlClient control(port);
  EXPECT_TRUE(logged(control, "reached the back end as O-1"));
  ASSERT_TRUE(wait_for_trades(control, 1, 90s));
  stop_flat(control, example, sim);
  // Every order on the exchange went out once.
  const auto orders = sim_data(sim, std::string("/api/v1/orders?accountId=") + kAccount);
  std::set<std::string> refs;
  for (const auto& order : orders.as_array()) {
    EXPECT_TRUE(refs.insert(std::string(order.at("refOrderID").as_string())).second)
        << "ref id sent twice: " << order.at("refOrderID");
  }
}

// The same class over two symbols in one replay: both trade, one report, and its net result
// is the back end's (realised P&L less every fee) to the cent.
TEST(EndToEnd, TwoSymbolsBacktestInOneReplay) {
  SimProcess sim({"--replay", "--seed", "3", "--jwt", kToken});
  ::setenv("TOLBU_JWT", kToken, 1);
  ExampleProcess example(SMA_CROSSOVER_PATH,
                         {"--backend", sim.base_url(), "--symbol", "HPG,VN30F2412", "--backtest",
                          "--from", "2024-01-02", "--bars", "600", "--control-port", "-1",
                          "--report-dir", "report", "--set", "lots=1"});
  const auto net = example.wait_for_line("Net P&L: ", 120s);
  ASSERT_EQ(example.wait_exit(30s), 0) << example.errors();
  ASSERT_TRUE(net.has_value()) << example.output();
  std::ifstream in(example.dir() / "report" / "report.json");
  const auto report = json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  std::set<std::string> symbols;
  for (const auto& t : report.at("trades").as_array()) {
    symbols.insert(std::string(t.at("symbol").as_string()));
  }
  EXPECT_EQ(symbols, (std::set<std::string>{"HPG", "VN30F2412"}));
  const json::value accounts = sim_data(sim, "/api/v1/accounts");
  const auto& account = accounts.as_array().at(0);
  for (const auto& position : account.at("positions").as_array()) {
    EXPECT_EQ(position.at("qty"), 0) << position;
  }
  EXPECT_NEAR(std::stod(*net),
              account.at("totalRealizedPnl").to_number<double>() - sim_fees(sim), 0.011);
}

TEST(EndToEnd, StartupFailuresAreReportedNotHidden) {
  // A back end that is gone: the first REST call fails and the run ends with an error.
  int dead_port = 0;
  {
    SimProcess gone = start_sim();
    dead_port = gone.port();
  }
  {
    ::setenv("TOLBU_JWT", kToken, 1);
    ExampleProcess example(SMA_CROSSOVER_PATH,
                           {"--backend", "http://127.0.0.1:" + std::to_string(dead_port),
                            "--symbol", kSymbol, "--duration", "5", "--control-port", "0"});
    const auto status = example.wait_exit(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(example.errors().find("sma_crossover: "), std::string::npos) << example.errors();
  }

  // A control port that is taken: no unmonitored run.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  SimProcess sim = start_sim();
  {
    auto args = example_args(sim, 5);
    args.back() = std::to_string(ntohs(addr.sin_port));
    ExampleProcess example(SMA_CROSSOVER_PATH, args);
    const auto status = example.wait_exit(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(example.errors().find("control API could not listen"), std::string::npos)
        << example.errors();
  }
  ::close(listener);

  // Bad command lines are refused before anything starts: a token in the process list too.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--backend", sim.base_url(), "--symbol", kSymbol, "--fast", "9"},
        std::vector<std::string>{"--backend", sim.base_url(), "--symbol", kSymbol, "--jwt",
                                 kToken}}) {
    ExampleProcess example(SMA_CROSSOVER_PATH, args);
    const auto status = example.wait_exit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2) << example.errors();
  }
  // Parameters the strategy cannot trade with end the run with the reason.
  {
    ExampleProcess example(SMA_CROSSOVER_PATH,
                           {"--backend", sim.base_url(), "--symbol", kSymbol, "--control-port",
                            "0", "--set", "fast=9", "--set", "slow=8"});
    const auto status = example.wait_exit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(example.errors().find("shorter than slow"), std::string::npos) << example.errors();
  }
}

}  // namespace
