// Every publication once and in order, against the tolbu-sim process: a channel the server
// subscribed us to and that the strategy subscribes as well, holes in the offsets of a live
// connection, a subscribe that races an unsubscribe of its channel.

#include <gtest/gtest.h>

#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <numeric>
#include <thread>

#include "loop_support.hpp"
#include "sim_streaming_support.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace cf = tolbu_sdk::platform::centrifuge;
using namespace std::chrono_literals;
using tolbu_sdk::features::TolbuStream;
using tolbu_test::config_for;
using tolbu_test::LogCapture;
using tolbu_test::publish;
using tolbu_test::SimProcess;
using tolbu_test::subscribers;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;
using Seq = std::vector<std::int64_t>;

Seq range(std::int64_t from, std::int64_t to) {
  Seq out;
  for (auto n = from; n <= to; ++n) out.push_back(n);
  return out;
}

struct Watch {
  int connects = 0;
  std::vector<std::string> gaps;
  Seq seen;
};

Awaitable start(TolbuStream& stream, Watch& w) {
  stream.on_gap([&w](const std::string& channel) { w.gaps.push_back(channel); });
  auto on_connect = [&w] { ++w.connects; };
  co_await stream.connect(on_connect);
}

void withhold(const SimProcess& sim, const std::string& channel, std::int64_t n) {
  const json::object body{{"channel", channel}, {"data", {{"n", n}}}, {"withhold", true}};
  EXPECT_EQ(sim.post("/_sim/streaming/publish", json::serialize(body)).status, 200);
}

void drop(const SimProcess& sim) {
  EXPECT_EQ(sim.post("/_sim/streaming/drop", R"({"code": 3001})").status, 200);
}

// The execution-report channel is server-side; the strategy subscribes it too, straight
// after connect(), once connected, or while the server makes it server-side (105 answer).
enum class When { AT_ONCE, CONNECTED, OVERTAKEN };

class ServerSideChannel : public ::testing::TestWithParam<When> {};

TEST_P(ServerSideChannel, EveryReportOnceInOrderAcrossAReconnect) {
  const std::string channel = "order:OrderExecutionReport:SIM0001";
  const bool server_side = GetParam() != When::OVERTAKEN;
  std::vector<std::string> args{"--speed", "0"};
  if (server_side) args.insert(args.end(), {"--server-sub", channel});
  SimProcess sim(args);
  if (!server_side) {
    const json::object body{{"late_server_subs", json::array{json::value(channel)}}};
    EXPECT_EQ(sim.post("/_sim/streaming/config", json::serialize(body)).status, 200);
  }
  auto config = config_for(sim);
  LogCapture log("tolbu_sdk.features.streaming");
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Watch w;
        co_await start(stream, w);
        if (GetParam() != When::AT_ONCE) {
          CO_ASSERT_TRUE(co_await until([&] { return stream.connected(); }));
        }
        auto on_report = [&w](const json::value& v) { w.seen.push_back(v.at("n").as_int64()); };
        co_await stream.subscribe_order_execution_report("SIM0001", on_report);
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, channel) == 1; }));
        for (std::int64_t n = 1; n <= 5; ++n) publish(sim, channel, json::object{{"n", n}});
        EXPECT_TRUE(co_await until([&] { return w.seen.size() == 5; }));

        drop(sim);
        CO_ASSERT_TRUE(co_await until([&] { return !stream.connected(); }));
        for (std::int64_t n = 6; n <= 7; ++n) publish(sim, channel, json::object{{"n", n}});
        CO_ASSERT_TRUE(co_await until([&] { return w.connects == 2 && w.seen.size() >= 7; }));
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, channel) == 1; }));
        publish(sim, channel, json::object{{"n", 8}});
        EXPECT_TRUE(co_await until([&] { return w.seen.size() >= 8; }));
        co_await tolbu_test::pause(100ms);  // a doubled report would show by now

        EXPECT_EQ(w.seen, range(1, 8));
        EXPECT_TRUE(w.gaps.empty());
        EXPECT_EQ(log.count("WARNING:"), 0u);
        co_await stream.disconnect();
      },
      30s);
}

INSTANTIATE_TEST_SUITE_P(Streaming, ServerSideChannel,
                         ::testing::Values(When::AT_ONCE, When::CONNECTED, When::OVERTAKEN));

// 1, 2, 3 arrive, 4 to 9 are lost on their way, 10 arrives.
struct Hole {
  const char* name;
  bool server_side;  // the server subscribed the channel itself
  int history;       // publications the server keeps for recovery
  Seq expected;      // what the strategy sees, 11 published last
  bool gap;          // on_gap is told
  int connects;
};

class OffsetHole : public ::testing::TestWithParam<Hole> {};

TEST_P(OffsetHole, IsRecoveredOrReported) {
  const auto& hole = GetParam();
  const std::string channel = "order:OrderExecutionReport:ACC1";
  std::vector<std::string> args{"--speed", "0", "--history-size", std::to_string(hole.history)};
  if (hole.server_side) args.insert(args.end(), {"--server-sub", channel});
  SimProcess sim(args);
  auto config = config_for(sim);
  LogCapture log("centrifuge");
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Watch w;
        co_await start(stream, w);
        CO_ASSERT_TRUE(co_await until([&] { return stream.connected(); }));
        auto on_report = [&w](const json::value& v) { w.seen.push_back(v.at("n").as_int64()); };
        co_await stream.subscribe_order_execution_report("ACC1", on_report);
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, channel) == 1; }));
        for (std::int64_t n = 1; n <= 3; ++n) publish(sim, channel, json::object{{"n", n}});
        for (std::int64_t n = 4; n <= 9; ++n) withhold(sim, channel, n);
        publish(sim, channel, json::object{{"n", 10}});
        EXPECT_TRUE(co_await until([&] { return w.seen.size() >= 10 || !w.gaps.empty(); }));
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, channel) == 1; }));
        publish(sim, channel, json::object{{"n", 11}});
        EXPECT_TRUE(co_await until([&] { return !w.seen.empty() && w.seen.back() == 11; }));

        EXPECT_EQ(w.seen, hole.expected);
        EXPECT_EQ(w.gaps.size(), hole.gap ? 1u : 0u);
        EXPECT_EQ(w.connects, hole.connects);
        EXPECT_EQ(log.count("WARNING:centrifuge:Publications 4 to 9 on " + channel + " missed"),
                  1u);
        co_await stream.disconnect();
      },
      30s);
}

Seq with_11(Seq s) {
  s.push_back(11);
  return s;
}

INSTANTIATE_TEST_SUITE_P(Streaming, OffsetHole,
                         ::testing::Values(Hole{"recovered", false, 100, range(1, 11), false, 1},
                                           Hole{"beyond_history", false, 3, with_11(range(1, 3)),
                                                true, 1},
                                           Hole{"server_side", true, 100, range(1, 11), false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A subscribe made while an unsubscribe of the same channel awaits the server's reply.
TEST(StreamIntegrity, ASubscribeAfterAnUnsubscribeEndsLive) {
  SimProcess sim({"--speed", "0"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Watch w;
        co_await start(stream, w);
        CO_ASSERT_TRUE(co_await until([&] { return stream.connected(); }));
        const std::string channel = "market:TradeLog:HPG";
        auto old_cb = [&w](const json::value&) { w.seen.push_back(-1); };
        auto first = co_await stream.subscribe(channel, old_cb);
        bool unsubscribed = false;
        auto leave = [&]() -> Awaitable {
          co_await stream.unsubscribe(first);
          unsubscribed = true;
        };
        asio::co_spawn(io, leave(), asio::detached);
        co_await asio::post(io, asio::use_awaitable);  // the unsubscribe awaits its reply now
        EXPECT_FALSE(unsubscribed);
        auto new_cb = [&w](const json::value& v) { w.seen.push_back(v.at("n").as_int64()); };
        auto second = co_await stream.subscribe(channel, new_cb);
        CO_ASSERT_TRUE(co_await until([&] { return unsubscribed; }));

        EXPECT_NE(second, first);
        EXPECT_TRUE(second->active);
        EXPECT_FALSE(first->active);
        EXPECT_EQ(stream.subscriptions().find(channel), second);
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, channel) == 1; }));
        publish(sim, channel, json::object{{"n", 1}});
        EXPECT_TRUE(co_await until([&] { return !w.seen.empty(); }));
        EXPECT_EQ(w.seen, Seq{1});
        co_await stream.disconnect();
      },
      20s);
}

// A message the client refuses ends the connection as an error, and the reconnects that
// follow back off: a recovery that repeats the message must not turn into a fast loop.
class RefusedMessage : public ::testing::TestWithParam<bool> {};

TEST_P(RefusedMessage, IsAnErrorAndTheReconnectsBackOff) {
  const bool oversized = GetParam();
  SimProcess sim({"--speed", "0"});
  LogCapture log("centrifuge");
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        int connects = 0;
        std::vector<cf::ErrorContext> errors;
        cf::ClientEventHandler events;
        events.on_connected = [&](const cf::ConnectedContext&) -> Awaitable {
          ++connects;
          co_return;
        };
        events.on_error = [&](const cf::ErrorContext& ctx) -> Awaitable {
          errors.push_back(ctx);
          co_return;
        };
        cf::ClientOptions options;
        options.token = sim.jwt();
        options.max_message_bytes = 64 * 1024;
        options.min_reconnect_delay = 20ms;
        auto client = cf::Client::create(io.get_executor(), sim.ws_url(), events, options);
        co_await client->connect();
        auto sub = client->new_subscription("news:big", {});
        co_await sub->subscribe();
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, "news:big") == 1; }));
        if (oversized) {
          // Kept for recovery: every reconnect brings it back.
          publish(sim, "news:big", json::value(std::string(100 * 1024, 'x')));
        }
        for (int round = 1; round <= 3; ++round) {
          CO_ASSERT_TRUE(co_await until([&] { return connects == round; }, 10s));
          if (!oversized) {
            EXPECT_EQ(sim.post("/_sim/streaming/raw", R"({"frame_hex": "7b22ff227d"})").status,
                      200);
          }
          CO_ASSERT_TRUE(co_await until([&] { return errors.size() == std::size_t(round); }));
        }
        for (const auto& e : errors) {
          EXPECT_EQ(e.type, "protocol");
          EXPECT_NE(e.message.find("message refused"), std::string::npos) << e.message;
        }
        EXPECT_EQ(log.count("ERROR:centrifuge:Message from "), 3u);
        for (int attempt = 1; attempt <= 3; ++attempt) {
          EXPECT_EQ(log.count("(attempt " + std::to_string(attempt) + ")"), 1u)
              << "a refused message restarts the backoff";
        }
        co_await client->disconnect();
      },
      30s);
}

INSTANTIATE_TEST_SUITE_P(Streaming, RefusedMessage, ::testing::Values(true, false),
                         [](const auto& info) {
                           return std::string(info.param ? "oversized" : "invalid_utf8");
                         });

// A token provider that fails: each failure reaches on_error, and a refresh that failed is
// retried before a short-lived token runs out.
struct TokenTrouble {
  const char* name;
  const char* token_ttl;  // seconds, "0": none
  int first_failing;      // the provider's first failing call (the first is connect()'s)
  int failures;
};

class FailingTokenProvider : public ::testing::TestWithParam<TokenTrouble> {};

TEST_P(FailingTokenProvider, ReachesOnErrorAndKeepsTheConnection) {
  const auto& p = GetParam();
  SimProcess sim({"--speed", "0", "--token-ttl", p.token_ttl});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        int calls = 0;
        stream.set_token_provider([&] {
          ++calls;
          if (calls >= p.first_failing && calls < p.first_failing + p.failures) {
            throw std::runtime_error("vault unreachable");
          }
          return sim.jwt();
        });
        int connects = 0;
        int disconnects = 0;
        std::vector<std::string> errors;
        auto on_connect = [&] { ++connects; };
        auto on_disconnect = [&] { ++disconnects; };
        auto on_error = [&](const std::exception& e) { errors.push_back(e.what()); };
        co_await stream.connect(on_connect, on_disconnect, on_error);
        CO_ASSERT_TRUE(co_await until([&] { return calls >= p.first_failing + p.failures; }, 15s));
        CO_ASSERT_TRUE(co_await until([&] { return connects == 1; }));
        EXPECT_EQ(errors.size(), std::size_t(p.failures));
        for (const auto& e : errors) EXPECT_NE(e.find("vault unreachable"), std::string::npos);
        EXPECT_EQ(connects, 1);
        EXPECT_EQ(disconnects, 0) << "the token ran out before the retried refresh";
        co_await stream.disconnect();
      },
      30s);
}

INSTANTIATE_TEST_SUITE_P(Streaming, FailingTokenProvider,
                         ::testing::Values(TokenTrouble{"on_connect", "0", 2, 3},
                                           TokenTrouble{"on_refresh", "3", 3, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A handler that subscribes while the queue is full: the reply is read all the same, and
// nothing times out because the client chose not to read.
TEST(StreamIntegrity, AHandlerAwaitingACommandWhileTheQueueIsFullGetsItsReply) {
  SimProcess sim({"--speed", "0"});
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
        options.max_queued_events = 8;
        options.timeout = 1s;
        auto client = cf::Client::create(io.get_executor(), sim.ws_url(), events, options);
        co_await client->connect();
        CO_ASSERT_TRUE(
            co_await until([&] { return client->state() == cf::ClientState::CONNECTED; }));
        Seq seqs;
        bool extra_subscribed = false;
        cf::SubscriptionEventHandler handlers;
        handlers.on_publication = [&](const cf::PublicationContext& ctx) -> Awaitable {
          seqs.push_back(ctx.data->at("seq").to_number<std::int64_t>());
          if (seqs.size() != 1) co_return;
          co_await tolbu_test::pause(300ms);  // the queue fills up behind this handler
          auto extra = client->new_subscription("news:extra", {});
          co_await extra->subscribe();
          extra_subscribed = extra->state() == cf::SubscriptionState::SUBSCRIBED;
        };
        auto sub = client->new_subscription("market:OHLCV:FULL:1", handlers);
        co_await sub->subscribe();
        CO_ASSERT_TRUE(
            co_await until([&] { return subscribers(sim, "market:OHLCV:FULL:1") == 1; }));
        EXPECT_EQ(sim.post("/_sim/streaming/series",
                           R"({"channel":"market:OHLCV:FULL:1","count":2000,"rate":0})")
                      .status,
                  200);
        EXPECT_TRUE(co_await until([&] { return seqs.size() >= 2000; }, 20s));
        EXPECT_TRUE(extra_subscribed);
        EXPECT_TRUE(disconnects.empty()) << "first: " << (disconnects.empty() ? 0 : disconnects[0]);
        EXPECT_EQ(seqs, range(0, 1999));
        co_await client->disconnect();
      },
      30s);
}

// Large publications behind a slow handler: what waits in the queue stays near its byte
// bound (one frame of the server's over it at most), and every publication arrives in order.
TEST(StreamIntegrity, TheQueueIsBoundedInBytes) {
  SimProcess sim({"--speed", "0"});
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        cf::ClientOptions options;
        options.token = sim.jwt();
        options.max_queued_bytes = 1 << 20;
        auto client = cf::Client::create(io.get_executor(), sim.ws_url(), {}, options);
        co_await client->connect();
        std::vector<std::uint64_t> offsets;
        std::size_t peak = 0;
        cf::SubscriptionEventHandler handlers;
        handlers.on_publication = [&](const cf::PublicationContext& ctx) -> Awaitable {
          offsets.push_back(ctx.pub->offset);
          peak = std::max(peak, client->queued_bytes());
          std::this_thread::sleep_for(100us);  // the slow strategy
          co_return;
        };
        auto sub = client->new_subscription("news:large", handlers);
        co_await sub->subscribe();
        CO_ASSERT_TRUE(co_await until([&] { return subscribers(sim, "news:large") == 1; }));
        constexpr int kCount = 4000;  // 16 MB of 4 KiB payloads
        const json::object series{{"channel", "news:large"},
                                  {"count", kCount},
                                  {"rate", 0},
                                  {"data", std::string(4096, 'p')}};
        EXPECT_EQ(sim.post("/_sim/streaming/series", json::serialize(series)).status, 200);
        EXPECT_TRUE(co_await until([&] { return offsets.size() >= kCount; }, 60s));
        std::vector<std::uint64_t> expected(kCount);
        std::iota(expected.begin(), expected.end(), 1);
        EXPECT_EQ(offsets, expected);
        EXPECT_LE(peak, (1u << 20) + (512u << 10) + 8192) << "bytes queued at most";
        EXPECT_EQ(client->queued_bytes(), 0u);
        co_await client->disconnect();
      },
      90s);
}

}  // namespace
