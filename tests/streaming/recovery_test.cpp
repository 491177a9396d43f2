// Nothing lost across reconnects, against the tolbu-sim process: publications missed while
// disconnected, a restarted server's new epoch, tokens with a lifetime, server-side
// subscriptions, subscriptions the server ends, memory over many subscribe cycles.

#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/json.hpp>

#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "loop_support.hpp"
#include "sim_streaming_support.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace cf = tolbu_sdk::platform::centrifuge;
using namespace std::chrono_literals;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::features::DisconnectInfo;
using tolbu_sdk::features::TolbuStream;
using tolbu_test::config_for;
using tolbu_test::LogCapture;
using tolbu_test::post_authorized;
using tolbu_test::publish;
using tolbu_test::SimProcess;
using tolbu_test::streaming_stats;
using tolbu_test::subscribers;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;

std::int64_t stat(const SimProcess& sim, const char* name) {
  auto s = streaming_stats(sim);
  const auto* v = s.if_contains(name);
  return v ? v->to_number<std::int64_t>() : -1;
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

struct Events {
  int connects = 0;
  std::vector<DisconnectInfo> disconnects;
  std::vector<std::string> errors;
};

Awaitable connect(TolbuStream& stream, Events& events) {
  co_await stream.connect([&] { ++events.connects; },
                          [&](const DisconnectInfo& info) { events.disconnects.push_back(info); },
                          [&](const std::exception& e) { events.errors.push_back(e.what()); });
  EXPECT_TRUE(co_await until([&] { return stream.connected(); }));
}

TEST(StreamRecovery, ExecutionReportsFilledWhileDisconnectedArriveOnceInOrder) {
  SimProcess sim({"--speed", "0", "--account", "ACC1"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Events events;
        co_await connect(stream, events);
        std::vector<std::pair<std::string, std::string>> reports;  // (refOrderID, status)
        co_await stream.subscribe_order_execution_report("ACC1", [&](const json::value& r) {
          reports.emplace_back(json::value_to<std::string>(r.at("refOrderID")),
                               json::value_to<std::string>(r.at("status")));
        });
        auto filled = [&](const std::string& ref) {
          return std::count(reports.begin(), reports.end(), std::pair{ref, std::string("FILLED")});
        };
        EXPECT_EQ(post_authorized(sim, "/api/v1/orders/new/ref-0/ACC1/HPG/B/0.0/100/MTL"), 200);
        EXPECT_TRUE(co_await until([&] { return filled("ref-0") == 1; }));
        const auto per_order = reports.size();

        // The connection drops; orders fill before the client is back.
        EXPECT_EQ(
            sim.post("/_sim/streaming/drop", R"({"code": 3001, "reason": "shutdown"})").status,
            200);
        for (int i = 1; i <= 5; ++i) {
          EXPECT_EQ(post_authorized(sim, "/api/v1/orders/new/ref-" + std::to_string(i) +
                                             "/ACC1/HPG/" + (i % 2 ? "S" : "B") + "/0.0/100/MTL"),
                    200);
        }
        EXPECT_TRUE(co_await until([&] { return events.connects == 2 && filled("ref-5"); }, 10s));
        co_await tolbu_test::pause(200ms);  // nothing more should come

        CO_ASSERT_EQ(events.disconnects.size(), 1u);
        EXPECT_EQ(events.disconnects[0].code, 3001u);
        EXPECT_TRUE(events.disconnects[0].reconnect);
        EXPECT_GE(stat(sim, "recovered"), static_cast<std::int64_t>(5 * per_order));
        // Each report once, the orders in the order they were placed.
        EXPECT_EQ(reports.size(), 6 * per_order);
        std::set<std::pair<std::string, std::string>> unique(reports.begin(), reports.end());
        EXPECT_EQ(unique.size(), reports.size());
        std::vector<std::string> order_of_refs;
        for (const auto& [ref, status] : reports) {
          if (order_of_refs.empty() || order_of_refs.back() != ref) order_of_refs.push_back(ref);
        }
        EXPECT_EQ(order_of_refs,
                  (std::vector<std::string>{"ref-0", "ref-1", "ref-2", "ref-3", "ref-4", "ref-5"}));
        co_await stream.disconnect();
      },
      30s);
}

TEST(StreamRecovery, ARestartedServerIsReportedAsAGapAndTheStreamGoesOn) {
  SimProcess sim({"--speed", "0"});
  auto config = config_for(sim);
  LogCapture log("tolbu_sdk.features.streaming");
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        std::vector<std::string> gaps;
        stream.on_gap([&](const std::string& channel) { gaps.push_back(channel); });
        Events events;
        co_await connect(stream, events);
        std::vector<std::int64_t> seen;
        co_await stream.subscribe("market:TradeLog:HPG", [&](const json::value& v) {
          seen.push_back(v.at("n").as_int64());
        });
        publish(sim, "market:TradeLog:HPG", json::object{{"n", 1}});
        EXPECT_TRUE(co_await until([&] { return seen.size() == 1; }));

        // A plain reconnect recovers without a gap; a restart starts a new epoch.
        EXPECT_EQ(sim.post("/_sim/streaming/drop", R"({"code": 3001})").status, 200);
        publish(sim, "market:TradeLog:HPG", json::object{{"n", 2}});
        EXPECT_TRUE(co_await until([&] { return seen.size() == 2 && events.connects == 2; }));
        EXPECT_TRUE(gaps.empty());
        EXPECT_EQ(log.count("Recovered 1 publications on market:TradeLog:HPG"), 1u);

        EXPECT_EQ(sim.post("/_sim/streaming/restart", "{}").status, 200);
        EXPECT_TRUE(co_await until([&] { return gaps.size() == 1; }, 10s));
        EXPECT_EQ(gaps, std::vector<std::string>{"market:TradeLog:HPG"});
        EXPECT_EQ(log.count("WARNING:tolbu_sdk.features.streaming:Publications on "
                            "market:TradeLog:HPG missed while disconnected could not be "
                            "recovered"),
                  1u);
        publish(sim, "market:TradeLog:HPG", json::object{{"n", 3}});
        EXPECT_TRUE(co_await until([&] { return seen.size() == 3; }));
        EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3}));
        co_await stream.disconnect();
      },
      30s);
}

TEST(StreamRecovery, ATokenWithATwoSecondLifetimeIsRefreshedThroughATenSecondStream) {
  SimProcess sim({"--speed", "0", "--token-ttl", "2"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Events events;
        co_await connect(stream, events);
        std::vector<std::int64_t> seen;
        co_await stream.subscribe(
            "ticks:1", [&](const json::value& v) { seen.push_back(v.at("n").as_int64()); });
        for (std::int64_t n = 0; n < 20; ++n) {
          publish(sim, "ticks:1", json::object{{"n", n}});
          co_await tolbu_test::pause(500ms);
        }
        EXPECT_TRUE(co_await until([&] { return seen.size() == 20; }));
        EXPECT_EQ(events.connects, 1);
        EXPECT_TRUE(events.disconnects.empty());
        EXPECT_GE(stat(sim, "refreshes"), 4);
        co_await stream.disconnect();
      },
      30s);
}

TEST(StreamRecovery, AnExpiredTokenIsRetriedWithTheTokenTheStrategyHoldsNow) {
  SimProcess sim({"--speed", "0"});
  auto config = config_for(sim);
  auto minted = sim.post("/_sim/streaming/token", R"({"ttl_ms": 1})");
  ASSERT_EQ(minted.status, 200);
  config.jwt_token = json::value_to<std::string>(json::parse(minted.body).at("token"));
  std::this_thread::sleep_for(20ms);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Events events;
        co_await stream.connect(
            [&] { ++events.connects; }, nullptr,
            [&](const std::exception& e) { events.errors.push_back(e.what()); });
        EXPECT_TRUE(co_await until([&] { return !events.errors.empty(); }));
        EXPECT_NE(events.errors.front().find("token expired"), std::string::npos);
        EXPECT_FALSE(stream.connected());
        config.jwt_token = sim.jwt();  // the strategy logs in again
        EXPECT_TRUE(co_await until([&] { return events.connects == 1; }, 10s));
        co_await stream.disconnect();
      },
      20s);
}

// Server unsubscribes, server-side subscriptions and a final disconnect.
Awaitable ended_subscriptions(const SimProcess& sim, const TolbuConfig& config,
                              const LogCapture& log) {
  TolbuStream stream(config);
  Events events;
  co_await connect(stream, events);
  std::vector<std::int64_t> news;
  auto into_news = [&](const json::value& v) { news.push_back(v.at("n").as_int64()); };
  auto first = co_await stream.subscribe("news:1", into_news);
  EXPECT_TRUE(co_await until([&] { return subscribers(sim, "news:1") == 1; }));

  // The server ends it for good: the record goes, a new subscribe asks again.
  EXPECT_EQ(sim.post("/_sim/streaming/unsubscribe", R"({"channel":"news:1","code":2000})").status,
            200);
  EXPECT_TRUE(co_await until([&] { return !stream.subscriptions().contains("news:1"); }));
  EXPECT_FALSE(first->active);
  EXPECT_EQ(log.count("WARNING:tolbu_sdk.features.streaming:Subscription to news:1 ended "
                      "by the server: 2000"),
            1u);
  auto second = co_await stream.subscribe("news:1", into_news);
  EXPECT_NE(second, first);
  EXPECT_EQ(log.count("exists. Adding callback."), 0u);
  publish(sim, "news:1", json::object{{"n", 1}});
  EXPECT_TRUE(co_await until([&] { return news == std::vector<std::int64_t>{1}; }));

  // A server-side subscription reaches callbacks registered under its name, also for
  // what it published while the connection was down.
  std::vector<std::int64_t> reports;
  auto on_report = [&](const json::value& v) { reports.push_back(v.at("n").as_int64()); };
  EXPECT_TRUE(co_await until(
      [&] { return stream.client()->has_server_subscription("order:OrderExecutionReport:ACC7"); }));
  auto server_side = co_await stream.subscribe_order_execution_report("ACC7", on_report);
  EXPECT_EQ(server_side->sub_obj, nullptr);
  publish(sim, "order:OrderExecutionReport:ACC7", json::object{{"n", 1}});
  EXPECT_TRUE(co_await until([&] { return reports.size() == 1; }));
  EXPECT_EQ(sim.post("/_sim/streaming/drop", R"({"code": 3001})").status, 200);
  publish(sim, "order:OrderExecutionReport:ACC7", json::object{{"n", 2}});
  EXPECT_TRUE(co_await until([&] { return reports.size() == 2 && events.connects == 2; }));
  publish(sim, "order:OrderExecutionReport:ACC7", json::object{{"n", 3}});
  EXPECT_TRUE(co_await until([&] { return reports.size() == 3; }));
  EXPECT_EQ(reports, (std::vector<std::int64_t>{1, 2, 3}));

  // One pushed while connected.
  EXPECT_EQ(
      sim.post("/_sim/streaming/server-subscribe", R"({"channel":"algo:AlgoOrder:ACC7"})").status,
      200);
  EXPECT_TRUE(co_await until(
      [&] { return stream.client()->has_server_subscription("algo:AlgoOrder:ACC7"); }));
  std::vector<std::int64_t> algo;
  co_await stream.subscribe_algo_order(
      "ACC7", [&](const json::value& v) { algo.push_back(v.at("n").as_int64()); });
  publish(sim, "algo:AlgoOrder:ACC7", json::object{{"n", 7}});
  EXPECT_TRUE(co_await until([&] { return algo == std::vector<std::int64_t>{7}; }));

  // A disconnect after which the client does not come back ends every record.
  EXPECT_EQ(sim.post("/_sim/streaming/drop", R"({"code": 3501, "reason": "bad request"})").status,
            200);
  EXPECT_TRUE(co_await until([&] { return stream.subscriptions().empty(); }));
  CO_ASSERT_EQ(events.disconnects.size(), 2u);
  EXPECT_FALSE(events.disconnects.back().reconnect);
  EXPECT_EQ(events.disconnects.back().code, 3501u);
  EXPECT_FALSE(second->active);
  EXPECT_FALSE(server_side->active);
  co_await connect(stream, events);
  co_await stream.subscribe("news:1", into_news);
  EXPECT_TRUE(co_await until([&] { return subscribers(sim, "news:1") == 1; }));
  publish(sim, "news:1", json::object{{"n", 2}});
  EXPECT_TRUE(co_await until([&] { return news.size() == 2; }));
  co_await stream.disconnect();
}

TEST(StreamRecovery, SubscriptionsTheServerEndsLeaveTheRegistryAndCanBeMadeAgain) {
  SimProcess sim({"--speed", "0", "--server-sub", "order:OrderExecutionReport:ACC7"});
  auto config = config_for(sim);
  LogCapture log("tolbu_sdk.features.streaming");
  asio::io_context io;
  tolbu_test::run_on(
      io, [&] { return ended_subscriptions(sim, config, log); }, 30s);
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in quarantine, so the resident size says nothing about
// leaks there (LeakSanitizer does); the plain build measures it over the full count.
constexpr bool MEASURE_RESIDENT = false;
constexpr int CYCLES = 10000;
#else
constexpr bool MEASURE_RESIDENT = true;
constexpr int CYCLES = 50000;
#endif

TEST(StreamRecovery, FiftyThousandSubscribeCyclesKeepMemoryFlat) {
  SimProcess sim({"--speed", "0"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Events events;
        co_await connect(stream, events);
        auto ignore = [](const json::value&) {};
        std::size_t warm = 0;
        for (int i = 0; i < CYCLES; ++i) {
          auto sub = co_await stream.subscribe("cycle:" + std::to_string(i), ignore);
          co_await stream.unsubscribe(sub);
          if (i == 5000) warm = resident_bytes();
        }
        const auto grown =
            static_cast<std::int64_t>(resident_bytes()) - static_cast<std::int64_t>(warm);
        if (MEASURE_RESIDENT) {
          EXPECT_LT(grown, 4 << 20) << "bytes grown over 45,000 cycles";
        }
        EXPECT_TRUE(stream.subscriptions().empty());
        EXPECT_EQ(stream.client()->subscription_count(), 0u);
        EXPECT_EQ(stat(sim, "streams"), 0);
        EXPECT_EQ(events.connects, 1);
        co_await stream.disconnect();
      },
      180s);
}

}  // namespace

namespace {

// A consumer slower than the feed, with a small event queue so that the sim's backlog limit
// cuts it off within the test's time: every publication still arrives, in order, once.
TEST(StreamRecovery, ASlowConsumerCutOffByTheServerLosesNothing) {
  SimProcess sim({"--speed", "0", "--client-backlog", "65536", "--history-size", "100000"});
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        std::vector<std::uint32_t> disconnects;
        cf::ClientEventHandler events;
        events.on_disconnected = [&](const cf::DisconnectedContext& ctx) -> Awaitable {
          disconnects.push_back(ctx.code);
          co_return;
        };
        cf::ClientOptions options;
        options.token = sim.jwt();
        options.max_queued_events = 1024;
        options.min_reconnect_delay = 50ms;
        auto client = cf::Client::create(io.get_executor(), sim.ws_url(), events, options);
        co_await client->connect();
        std::vector<std::int64_t> seqs;
        cf::SubscriptionEventHandler handlers;
        handlers.on_publication = [&](const cf::PublicationContext& ctx) -> Awaitable {
          seqs.push_back(ctx.data->at("seq").to_number<std::int64_t>());
          std::this_thread::sleep_for(100us);  // the slow strategy
          co_return;
        };
        bool subscribed = false;
        std::size_t recovered = 0;
        handlers.on_subscribed = [&](const cf::SubscribedContext& ctx) -> Awaitable {
          subscribed = true;
          recovered += ctx.recovered_publications;
          co_return;
        };
        auto sub = client->new_subscription("market:OHLCV:SLOW:1", handlers);
        co_await sub->subscribe();
        CO_ASSERT_TRUE(co_await until([&] { return subscribed; }, 10s));
        constexpr int kCount = 20000;
        EXPECT_EQ(sim.post("/_sim/streaming/series",
                           R"({"channel":"market:OHLCV:SLOW:1","count":20000,"rate":20000})")
                      .status,
                  200);
        EXPECT_TRUE(co_await until([&] { return seqs.size() >= kCount; }, 60s));
        co_await tolbu_test::pause(200ms);
        EXPECT_GE(std::count(disconnects.begin(), disconnects.end(), 3008u), 1)
            << "the server never cut the slow consumer off";
        EXPECT_GT(recovered, 0u) << "nothing came back through recovery";
        std::cout << "slow consumer: " << disconnects.size() << " disconnects, " << recovered
                  << " publications recovered\n";
        CO_ASSERT_EQ(seqs.size(), std::size_t(kCount));
        for (int i = 0; i < kCount; ++i) {
          if (seqs[i] != i) {
            ADD_FAILURE() << "publication " << i << " is " << seqs[i];
            break;
          }
        }
        co_await client->disconnect();
      },
      90s);
}

}  // namespace
