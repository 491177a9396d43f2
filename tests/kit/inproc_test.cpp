// tolbu-sim linked into the program (inproc://): a kit backtest gives the same reports as
// against the tolbu-sim process; requests get the answers the sim's port gives, faults
// included; a stream's close code crosses the in-memory connection.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/kit/strategy.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/sim/engine.hpp"

namespace {

namespace asio = boost::asio;
namespace kit = tolbu_sdk::kit;
namespace fs = std::filesystem;
namespace http = tolbu_sdk::platform::http;

// Long when the fast average is above the slow one, short below; every third entry a limit
// order a tick inside the close, so that some orders rest and fill at later bars. Counts the
// order events that came while its own hook ran: over a socket there are none.
class Flipper : public kit::Strategy {
 public:
  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    in_hook = true;
    decide(ctx, bar);
    in_hook = false;
  }

  void on_order(kit::Context&, const kit::OrderEvent&) override {
    ++events;
    if (in_hook) ++events_inside_hook;
  }

  void decide(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) {
    closes.push_back(bar.close);
    if (closes.size() > 20) closes.pop_front();
    if (ctx.warming_up() || closes.size() < 20) return;
    const double slow = std::accumulate(closes.begin(), closes.end(), 0.0) / 20;
    const double fast = std::accumulate(closes.end() - 5, closes.end(), 0.0) / 5;
    const std::int64_t want = fast > slow ? 1 : -1;
    if (want == ctx.portfolio().position(bar.symbol)) return;
    const auto& symbol = ctx.symbol(bar.symbol);
    const double price =
        ++entries % 3 == 0 ? symbol.normalize_price(bar.close - want * symbol.tick_size) : 0.0;
    ctx.target(bar.symbol, want, price);
  }

  std::deque<double> closes;
  int entries = 0;
  bool in_hook = false;
  int events = 0;
  int events_inside_hook = 0;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Inproc, ABacktestGivesTheSameReportsInProcessAsAgainstTheSimProcess) {
  const std::vector<std::string> sim_args{"--seed", "4", "--commission-pct", "0.05"};
  const fs::path dir =
      fs::temp_directory_path() / ("tolbu-kit-inproc-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  auto run = [&](const std::string& way, bool inproc, const std::string& backend) {
    kit::RunOptions options{.name = "flipper", .symbols = {"VN30F2412"}};
    options.backend = backend;
    options.ws = backend.empty() ? "" : kit::streaming_url(backend);
    options.token = "t";
    options.inproc = inproc;
    options.sim_args = sim_args;
    options.history_bars = 30;
    options.control_port = -1;
    options.log_dir = (dir / way / "logs").string();
    options.report_dir = (dir / way).string();
    options.backtest = true;
    options.from_ms = *kit::parse_time_ms("2024-01-02");
    options.to_ms = options.from_ms + 3000 * 60'000;
    Flipper flipper;
    EXPECT_EQ(kit::run(flipper, options), 0) << way;
    EXPECT_GT(flipper.events, 0) << way;
    EXPECT_EQ(flipper.events_inside_hook, 0) << way;
    return flipper.entries;
  };
  std::vector<std::string> process_args{"--replay", "--jwt", "t"};
  process_args.insert(process_args.end(), sim_args.begin(), sim_args.end());
  int entries_over_sockets = 0;
  {
    tolbu_test::SimProcess sim(process_args);
    entries_over_sockets = run("socket", false, sim.base_url());
  }
  const int entries_in_process = run("inproc", true, "");
  EXPECT_EQ(entries_in_process, entries_over_sockets);

  const auto json = read_file(dir / "inproc" / "report.json");
  const auto metrics = boost::json::parse(json).at("metrics");
  EXPECT_GT(metrics.at("trades").to_number<int>(), 50) << "too few trades to compare";
  EXPECT_EQ(json, read_file(dir / "socket" / "report.json"));
  EXPECT_EQ(read_file(dir / "inproc" / "report.html"), read_file(dir / "socket" / "report.html"));

  // A bad option of the sim: the run says so and does not start.
  kit::RunOptions bad{.name = "flipper", .symbols = {"VN30F2412"}};
  bad.token = "t";
  bad.inproc = true;
  bad.sim_args = {"--seed", "many"};
  bad.control_port = -1;
  bad.log_dir = (dir / "bad").string();
  Flipper idle;
  EXPECT_EQ(kit::run(idle, bad), 2);
  EXPECT_EQ(idle.events, 0);
  fs::remove_all(dir);
}

// Runs an awaitable to its end on the loop (which the engine's listener keeps busy).
template <typename T>
T await_on(asio::io_context& loop, asio::awaitable<T> operation) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result = std::move(value);
    loop.stop();
  });
  loop.restart();
  loop.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

TEST(Inproc, RequestsGetTheAnswersOfTheSimsPortFaultsIncluded) {
  asio::io_context loop;
  tolbu_sdk::sim::Engine sim(
      loop, {"--speed", "0", "--start-ms", std::to_string(tolbu_test::kStart), "--jwt", "t",
             "--quiet"});
  const std::string over_tcp = "http://127.0.0.1:" + std::to_string(sim.listen());
  http::Client client;
  const http::Headers auth{{"Authorization", "Bearer t"}};
  const std::string from = std::to_string(tolbu_test::kStart - 3'600'000);
  struct Case {
    const char* method;
    std::string path;
    http::Headers headers;
  };
  const Case cases[] = {
      {"GET", "/GetOhlcvHis/HPG/60/" + from + "/" + std::to_string(tolbu_test::kStart), {}},
      {"GET", "/api/v1/accounts", auth},
      {"GET", "/api/v1/accounts", {}},                                   // 401
      {"GET", "/no/such/path?x=%20y", {}},                               // 404
      {"DELETE", "/api/v1/accounts", auth},                              // 405
      {"POST", "/api/v1/orders/new/r1/SIM0001/HPG/X/1/1/LO", auth},      // 400
      {"POST", "/api/v1/orders/new/{ref}/SIM0001/HPG/B/25000.0/100/LO", auth},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    // An order's ref is taken once: each way sends its own.
    auto path = [&](const char* ref) {
      std::string out = c.path;
      if (auto at = out.find("{ref}"); at != std::string::npos) out.replace(at, 5, ref);
      return out;
    };
    const auto in_process =
        await_on(loop, client.async_request(c.method, sim.base_url() + path("a"), c.headers));
    auto over_port =
        await_on(loop, client.async_request(c.method, over_tcp + path("b"), c.headers));
    EXPECT_EQ(in_process.status_code, over_port.status_code);
    EXPECT_EQ(in_process.reason, over_port.reason);
    EXPECT_EQ(in_process.headers, over_port.headers);
    // The order's id and ref differ; every other answer is the same text.
    if (c.path.find("{ref}") == std::string::npos) {
      EXPECT_EQ(in_process.text, over_port.text);
    }
  }

  // A connection dropped after the order was taken: the caller hears that it may have
  // reached the back end, and it did.
  const boost::json::value fault{{"method", "POST"}, {"path_prefix", "/api/v1/orders/new"},
                                 {"drop", true}, {"act", true}};
  EXPECT_EQ(await_on(loop, client.async_request("POST", sim.base_url() + "/_sim/faults", {}, fault))
                .status_code,
            200);
  try {
    await_on(loop, client.async_request("POST",
                                        sim.base_url() +
                                            "/api/v1/orders/new/lost/SIM0001/HPG/B/25000.0/100/LO",
                                        auth));
    ADD_FAILURE() << "a dropped answer came back as an answer";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("may have reached the server"), std::string::npos)
        << e.what();
  }
  const auto orders =
      await_on(loop, client.async_get(sim.base_url() + "/api/v1/orders?accountId=SIM0001", auth));
  EXPECT_NE(orders.text.find("\"lost\""), std::string::npos) << orders.status_code << orders.text;

  // An answer later than the client's total timeout: the caller is not kept waiting.
  const boost::json::value slow{{"method", "GET"}, {"path_prefix", "/api/v1/accounts"},
                                {"delay_ms", 5000}};
  await_on(loop, client.async_request("POST", sim.base_url() + "/_sim/faults", {}, slow));
  http::Options quick;
  quick.total_timeout = std::chrono::milliseconds(100);
  http::Client impatient(quick);
  try {
    await_on(loop, impatient.async_get(sim.base_url() + "/api/v1/accounts", auth));
    ADD_FAILURE() << "an answer 5 s late came within 100 ms";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
  }

  // Nothing registered under the name: a transport failure that says so.
  try {
    await_on(loop, client.async_get("inproc://nobody/api/v1/accounts"));
    ADD_FAILURE() << "an unknown endpoint answered";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("No in-process back end named 'nobody'"),
              std::string::npos)
        << e.what();
  }

  // A blocking call from another thread is answered on the engine's loop, while it runs.
  std::optional<http::Response> from_thread;
  std::thread caller([&] {
    from_thread = client.get(sim.base_url() + "/api/v1/accounts", auth);
    asio::post(loop, [&] { loop.stop(); });
  });
  auto guard = asio::make_work_guard(loop);
  loop.restart();
  loop.run();
  caller.join();
  ASSERT_TRUE(from_thread);
  EXPECT_EQ(from_thread->status_code, 200);
  EXPECT_NE(from_thread->text.find("SIM0001"), std::string::npos);
}

// An engine dropped before its loop ever ran leaves no handler queued that would reach its
// freed state.
TEST(Inproc, AnEngineDroppedBeforeItsLoopRanLeavesNothingQueued) {
  asio::io_context loop;
  { tolbu_sdk::sim::Engine sim(loop, {"--replay", "--jwt", "t", "--quiet"}); }
  EXPECT_EQ(loop.run(), 0u);
}

TEST(Inproc, AStreamGetsPublicationsAndTheServersCloseCode) {
  asio::io_context loop;
  tolbu_sdk::sim::Engine sim(loop, {"--speed", "0", "--jwt", "t", "--quiet"});
  const auto config =
      tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), "t");
  tolbu_sdk::features::TolbuStream stream(config);
  http::Client client;
  std::vector<std::string> received;
  std::optional<tolbu_sdk::features::DisconnectInfo> closed;
  await_on(loop, [&]() -> asio::awaitable<int> {
    auto on_disconnect = [&](const tolbu_sdk::features::DisconnectInfo& info) { closed = info; };
    co_await stream.connect(nullptr, on_disconnect);
    co_await stream.client()->ready(std::chrono::seconds(5));
    tolbu_sdk::features::PublicationCallback on_publication = [&](const boost::json::value& v) {
      received.push_back(boost::json::serialize(v));
    };
    std::string channel = "test:inproc";
    co_await stream.subscribe(std::move(channel), on_publication);
    for (int i = 0; i < 3; ++i) {
      boost::json::value publish{{"channel", "test:inproc"}, {"data", {{"n", i}}}};
      co_await client.async_request("POST", sim.base_url() + "/_sim/streaming/publish", {},
                                    std::move(publish));
    }
    boost::json::value drop{{"code", 3501}, {"reason", "enough"}};
    co_await client.async_request("POST", sim.base_url() + "/_sim/streaming/drop", {},
                                  std::move(drop));
    asio::steady_timer timer(loop);
    for (int i = 0; i < 500 && !closed; ++i) {
      timer.expires_after(std::chrono::milliseconds(10));
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return 0;
  }());
  EXPECT_EQ(received, (std::vector<std::string>{R"({"n":0})", R"({"n":1})", R"({"n":2})"}));
  ASSERT_TRUE(closed) << "the server's close never reached the client";
  EXPECT_EQ(closed->code, 3501u);
  EXPECT_EQ(closed->reason, "enough");
  EXPECT_FALSE(closed->reconnect);
}

}  // namespace
