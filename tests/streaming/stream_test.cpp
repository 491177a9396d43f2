// TolbuStream against the sim's hub in process: connection, registry, dispatch, typed
// subscriptions and their log lines.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "loop_support.hpp"
#include "streaming/hub.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace cf = tolbu_sdk::platform::centrifuge;
using namespace std::chrono_literals;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::features::TolbuStream;
using tolbu_sdk::features::TolbuSubscription;
using tolbu_sdk::types::Candle;
using tolbu_sim::streaming::Hub;
using tolbu_test::LogCapture;
using tolbu_test::pause;
using tolbu_test::run_on;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;

constexpr const char* kLogger = "tolbu_sdk.features.streaming";

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tolbu_sim::streaming::HubOptions o;
    o.token = "jwt-1";
    hub = Hub::create(io.get_executor(), o);
    port = hub->listen("127.0.0.1", 0);
    config.streaming_ws = "ws://127.0.0.1:" + std::to_string(port) + "/connection/websocket";
    config.jwt_token = "jwt-1";
  }
  void TearDown() override { hub->close(); }

  std::size_t subscribers(const std::string& channel) const {
    auto s = hub->stats().subscribers;
    auto it = s.find(channel);
    return it == s.end() ? 0 : it->second;
  }

  // Connects and waits for on_connect.
  asio::awaitable<void> connect(TolbuStream& stream) {
    bool up = false;
    co_await stream.connect([&up] { up = true; });
    EXPECT_TRUE(co_await until([&] { return up; }));
  }

  asio::io_context io;
  std::shared_ptr<Hub> hub;
  std::uint16_t port = 0;
  TolbuConfig config;
  LogCapture log{kLogger};
};

TEST_F(StreamTest, NothingWorksBeforeConnectAndNothingIsLogged) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    EXPECT_FALSE(stream.connected());
    EXPECT_EQ(stream.client(), nullptr);
    auto ignore = [](const json::value&) {};
    for (int op = 0; op < 3; ++op) {
      bool threw = false;
      try {
        if (op == 0) co_await stream.subscribe("market:Depth:HPG", ignore);
        if (op == 1) co_await stream.subscribe_candles("HPG", 60, [](const Candle&) {});
        if (op == 2) co_await stream.subscribe_algo_order("ACC", ignore);
      } catch (const tolbu_sdk::RuntimeError& e) {
        threw = true;
        EXPECT_STREQ(e.what(), "Client not initialized. Call connect() first.");
      }
      EXPECT_TRUE(threw) << op;
    }
    co_await stream.disconnect();  // no client: no call, and the registry is empty anyway
    co_await stream.unsubscribe_all();
    EXPECT_TRUE(stream.subscriptions().empty());
  });
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(StreamTest, ConnectPassesTheTokenAndRunsPlainAndAsynchronousCallbacksInOrder) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    auto& mark = tolbu_sdk::logging::get_logger(kLogger);
    int plain_calls = 0;
    bool body_ran = false;
    // A plain callable returning an awaitable: called, its awaitable never awaited.
    auto make = [&]() -> asio::awaitable<int> {
      body_ran = true;
      co_return 1;
    };
    co_await stream.connect(
        [&]() -> Awaitable {
          co_await pause(30ms);
          mark.info("on_connect done");
        },
        [&]() {
          ++plain_calls;
          return make();
        });
    EXPECT_FALSE(stream.connected()) << "connect() does not wait for the connection";
    auto sub = co_await stream.subscribe("order:MarginCall:USER123", [](const json::value&) {});
    EXPECT_TRUE(co_await until([&] { return log.count("Subscribed to order:MarginCall") == 1; }));
    EXPECT_TRUE(stream.connected());
    hub->drop_all(3503, "force no reconnect");
    EXPECT_TRUE(co_await until([&] { return plain_calls == 1; }));
    EXPECT_FALSE(body_ran);
    EXPECT_FALSE(stream.connected());
  });
  const auto lines = log.lines();
  auto at = [&](const std::string& part) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& l) { return l.find(part) != std::string::npos; }) -
           lines.begin();
  };
  EXPECT_EQ(lines.at(0), "INFO:" + std::string(kLogger) + ":Connecting to " + config.streaming_ws +
                             " (Async)...");
  // The asynchronous on_connect finished before the next event was handled.
  EXPECT_LT(at("Centrifuge Connected: ConnectedContext(client='"), at("on_connect done"));
  EXPECT_LT(at("on_connect done"),
            at("DEBUG:" + std::string(kLogger) + ":Subscribed to order:MarginCall:USER123: "));
  EXPECT_EQ(log.count("INFO:" + std::string(kLogger) +
                      ":Centrifuge Disconnected: DisconnectedContext(code=3503, reason='force "
                      "no reconnect', reconnect=false)"),
            1u);
}

TEST_F(StreamTest, ErrorsReachOnErrorAsTheirTextAndAreAlwaysLogged) {
  config.jwt_token = "stale";
  run_on(io, [&]() -> Awaitable {
    std::vector<std::string> received;
    TolbuStream stream(config);
    co_await stream.connect(nullptr, nullptr, [&](const std::exception& e) -> Awaitable {
      received.emplace_back(e.what());
      co_return;
    });
    EXPECT_TRUE(co_await until([&] { return !received.empty(); }));
    EXPECT_EQ(received[0],
              "ErrorContext(type='connect', code=3500, message='invalid token', "
              "temporary=false)");
    // Without on_error, and without a token at all: still logged.
    config.jwt_token.reset();
    TolbuStream quiet(config);
    co_await quiet.connect();
    EXPECT_TRUE(co_await until(
        [&] { return log.count("ERROR:" + std::string(kLogger) + ":Centrifuge Error: ") == 2; }));
  });
  EXPECT_EQ(log.count("Centrifuge Error: " +
                      std::string("ErrorContext(type='connect', code=3500, message='invalid "
                                  "token', temporary=false)")),
            2u);
}

TEST_F(StreamTest, OneServerSubscriptionPerChannelSharedByEveryCallbackInOrder) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    std::vector<std::string> seen;
    auto first = co_await stream.subscribe_trade_log(
        "HPG", [&](const json::value& v) { seen.push_back("a" + json::serialize(v)); }, "L1");
    auto second = co_await stream.subscribe_market_trades(
        "HPG",
        [&](const json::value& v) -> Awaitable {
          co_await pause(5ms);  // awaited before the third callback runs
          seen.push_back("b" + json::serialize(v));
        },
        "L2");
    auto third = co_await stream.subscribe("market:TradeLog:HPG", [&](const json::value& v) {
      seen.push_back("c" + json::serialize(v));
      return 42;  // a plain result is ignored
    });
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, third);
    EXPECT_EQ(first->callbacks.size(), 3u);
    EXPECT_EQ(stream.subscriptions().channel_names(),
              std::vector<std::string>{"market:TradeLog:HPG"});
    EXPECT_EQ(subscribers("market:TradeLog:HPG"), 1u);
    hub->publish("market:TradeLog:HPG", json::object{{"px", 1}});
    hub->publish("market:TradeLog:HPG", json::object{});  // empty: still delivered here
    EXPECT_TRUE(co_await until([&] { return seen.size() == 6; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"a{\"px\":1}", "b{\"px\":1}", "c{\"px\":1}", "a{}",
                                              "b{}", "c{}"}));
  });
  EXPECT_EQ(log.count("INFO:" + std::string(kLogger) + ":Subscribing to market:TradeLog:HPG..."),
            1u);
  EXPECT_EQ(log.count("Subscription to market:TradeLog:HPG exists. Adding callback."), 2u);
}

TEST_F(StreamTest, FailingCallbacksAreLoggedAndSkippedAndPayloadlessPublicationsWarned) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    std::vector<json::value> got;
    auto boom = [](const json::value&) -> Awaitable {
      throw std::runtime_error("boom");
      co_return;
    };
    co_await stream.subscribe("algo:AlgoPosition:ACC", boom);
    co_await stream.subscribe_algo_position("ACC", [&](const json::value& v) { got.push_back(v); });
    hub->publish("algo:AlgoPosition:ACC", json::object{{"qty", 3}});
    // A publication without a payload: the callbacks get the publication itself.
    hub->send_raw(R"({"push":{"channel":"algo:AlgoPosition:ACC","pub":{"offset":2}}})");
    EXPECT_TRUE(co_await until([&] { return got.size() == 2; }));
    EXPECT_EQ(got[0], (json::object{{"qty", 3}}));
    EXPECT_EQ(got[1].at("offset"), 2);
    EXPECT_FALSE(got[1].as_object().contains("data"));
  });
  EXPECT_EQ(log.count("ERROR:" + std::string(kLogger) + ":Error in subscription callback "), 2u);
  EXPECT_EQ(log.count(" for algo:AlgoPosition:ACC: boom"), 2u);
  EXPECT_EQ(log.count("WARNING:" + std::string(kLogger) +
                      ":Publication event missing data attribute. Attrs: ['channel', 'pub']"),
            1u);
}

TEST_F(StreamTest, CandlesConvertDivideAndSkipEmptyPayloads) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    std::vector<Candle> raw, divided, five;
    auto a =
        co_await stream.subscribe_candles("HPG", 60, [&](const Candle& c) { raw.push_back(c); });
    auto b = co_await stream.subscribe_candles(
        "HPG", 60,
        [&](const Candle& c) -> Awaitable {
          divided.push_back(c);
          co_return;
        },
        true);
    auto c =
        co_await stream.subscribe_candles("HPG", 300, [&](const Candle& k) { five.push_back(k); });
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(subscribers("market:OHLCV:HPG:60"), 1u);
    EXPECT_EQ(subscribers("market:OHLCV:HPG:300"), 1u);
    const json::object candle{{"time", 1700000000000}, {"open", 25100},  {"high", 25600},
                              {"low", 25000},          {"close", 25450}, {"volume", 1200}};
    for (const auto& empty : {json::value(nullptr), json::value(json::object{}), json::value(0),
                              json::value(""), json::value(json::array{})})
      hub->publish("market:OHLCV:HPG:60", empty);
    hub->publish("market:OHLCV:HPG:60", json::object{{"time", 1}});  // no prices: fails
    hub->publish("market:OHLCV:HPG:60", candle);
    hub->publish("market:OHLCV:HPG:300", candle);
    EXPECT_TRUE(co_await until([&] { return divided.size() == 1 && five.size() == 1; }));
    CO_ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0], Candle::from_dict(candle));
    EXPECT_EQ(raw[0].open, 25100.0);
    EXPECT_DOUBLE_EQ(divided[0].open, 25.1);
    EXPECT_DOUBLE_EQ(divided[0].high, 25.6);
    EXPECT_DOUBLE_EQ(divided[0].low, 25.0);
    EXPECT_DOUBLE_EQ(divided[0].close, 25.45);
    EXPECT_EQ(divided[0].volume, 1200.0);
    EXPECT_EQ(divided[0].time, 1700000000000);
  });
  // The payload without prices fails in both converters, each logged; empty ones say nothing.
  EXPECT_EQ(log.count("Error in subscription callback subscribe_candles.wrapper("), 2u);
  EXPECT_EQ(log.count(" for market:OHLCV:HPG:60: Candle: "), 2u);
  EXPECT_EQ(log.count("WARNING"), 0u);
}

TEST_F(StreamTest, TypedRecordsAndChannelNamesOfEveryKind) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    std::vector<std::string> got;
    auto note = [&](std::string what) { got.push_back(std::move(what)); };
    co_await stream.subscribe_depth("VN30F1M", [&](const tolbu_sdk::types::Depth& d) {
      note("depth " + d.symbol + " " + std::to_string(d.bid_price_depth.size()));
    });
    co_await stream.subscribe_product_info("VN30F1M", [&](const tolbu_sdk::types::ProductInfo& p) {
      note("info " + std::to_string(p.lot_size));
    });
    co_await stream.subscribe_product_stat("VN30F1M", [&](const tolbu_sdk::types::ProductStat& p) {
      note("stat " + std::to_string(int(p.last_price)));
    });
    auto raw = [&](const char* tag) {
      return [&, tag](const json::value& v) { note(tag + json::serialize(v)); };
    };
    co_await stream.subscribe_order_execution_report("CONN1", raw("report "));
    co_await stream.subscribe_algo_master("ACC1", raw("master "));
    co_await stream.subscribe_algo_order("ACC1", raw("order "));
    EXPECT_EQ(
        stream.subscriptions().channel_names(),
        (std::vector<std::string>{"market:Depth:VN30F1M", "market:ProductInfo:VN30F1M",
                                  "market:ProductStat:VN30F1M", "order:OrderExecutionReport:CONN1",
                                  "algo:AlgoMaster:ACC1", "algo:AlgoOrder:ACC1"}));
    tolbu_sdk::types::Depth depth{"VN30F1M", 1, {{1250.1, 10}, {1250.0, 3}}, {{1250.3, 4}}};
    tolbu_sdk::types::ProductInfo info;
    info.symbol = "VN30F1M";
    info.tick_size = 0.1;
    info.lot_size = 1;
    tolbu_sdk::types::ProductStat stat;
    stat.symbol = "VN30F1M";
    stat.last_price = 1250.2;
    hub->publish("market:Depth:VN30F1M", json::object{});  // skipped
    hub->publish("market:Depth:VN30F1M", depth.to_json());
    hub->publish("market:ProductInfo:VN30F1M", info.to_json());
    hub->publish("market:ProductStat:VN30F1M", stat.to_json());
    hub->publish("order:OrderExecutionReport:CONN1", nullptr);  // handed over as it is
    hub->publish("algo:AlgoMaster:ACC1", json::object{{"cash", 1}});
    hub->publish("algo:AlgoOrder:ACC1", json::object{{"id", "O-1"}});
    EXPECT_TRUE(co_await until([&] { return got.size() == 6; }));
    EXPECT_EQ(got,
              (std::vector<std::string>{"depth VN30F1M 2", "info 1", "stat 1250", "report null",
                                        "master {\"cash\":1}", "order {\"id\":\"O-1\"}"}));
  });
}

TEST_F(StreamTest, UnsubscribeEndsTheSharedRecordAndAFreshRegistrationStartsOver) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    co_await stream.unsubscribe_all();  // empty registry: nothing
    int calls = 0;
    auto count = [&](const json::value&) { ++calls; };
    auto h1 = co_await stream.subscribe("x:y:1", count);
    auto h2 = co_await stream.subscribe("x:y:1", count);  // the same callback twice
    hub->publish("x:y:1", json::object{{"n", 1}});
    EXPECT_TRUE(co_await until([&] { return calls == 2; }));
    co_await stream.unsubscribe(h2);
    EXPECT_FALSE(h1->active);
    EXPECT_FALSE(stream.subscriptions().contains("x:y:1"));
    EXPECT_TRUE(co_await until([&] { return subscribers("x:y:1") == 0; }));
    co_await stream.unsubscribe(h1);  // inactive: returns at once
    const TolbuStream::SubscriptionPtr none;
    EXPECT_THROW(co_await stream.unsubscribe(none), tolbu_sdk::TypeError);

    auto h3 = co_await stream.subscribe("x:y:1", count);
    EXPECT_NE(h3, h1);
    EXPECT_EQ(h3->callbacks.size(), 1u);
    EXPECT_EQ(subscribers("x:y:1"), 1u);
    co_await stream.subscribe("x:y:2", count);
    co_await stream.unsubscribe_all();
    EXPECT_TRUE(stream.subscriptions().empty());
    EXPECT_TRUE(co_await until([&] { return hub->stats().subscribers.empty(); }));
  });
}

TEST_F(StreamTest, AFailedRegistrationLeavesNoRecordBehind) {
  hub->options().deny_prefixes = {"secret:"};
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    auto ignore = [](const json::value&) {};
    // The client refuses to create the subscription: nothing stays registered, so a later
    // registration is a fresh attempt rather than a silent append to a dead record.
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_THROW(co_await stream.subscribe("", ignore), tolbu_sdk::ValueError);
      EXPECT_TRUE(stream.subscriptions().empty());
    }
    // The server refuses the subscription for good: no record stays to swallow the next
    // attempt, which asks the server again once it allows the channel.
    for (int attempt = 0; attempt < 2; ++attempt) {
      bool refused = false;
      try {
        co_await stream.subscribe("secret:plans", ignore);
      } catch (const cf::ReplyError& e) {
        refused = e.code() == 103;
      }
      EXPECT_TRUE(refused);
      EXPECT_TRUE(stream.subscriptions().empty());
    }
    hub->options().deny_prefixes.clear();
    auto record = co_await stream.subscribe("secret:plans", ignore);
    EXPECT_TRUE(record->active);
    EXPECT_TRUE(co_await until([&] { return hub->has_subscribers("secret:plans"); }));
    co_await stream.unsubscribe(record);
    EXPECT_TRUE(stream.subscriptions().empty());
  });
  EXPECT_EQ(log.count("Subscription to  exists"), 0u);
}

TEST_F(StreamTest, DisconnectEmptiesTheRegistryAndKeepsTheClient) {
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await connect(stream);
    auto record = co_await stream.subscribe("d:1", [](const json::value&) {});
    co_await stream.disconnect();
    EXPECT_TRUE(stream.subscriptions().empty());
    EXPECT_FALSE(stream.connected());
    CO_ASSERT_TRUE(stream.client() != nullptr);
    EXPECT_EQ(stream.client()->state(), cf::ClientState::DISCONNECTED);
    EXPECT_TRUE(record->active) << "dropped, not unsubscribed";
    // A new registration under the same name, then unsubscribe through the dropped record:
    // the new record stays registered and live.
    auto fresh = co_await stream.subscribe("d:1", [](const json::value&) {});
    EXPECT_NE(fresh, record);
    co_await stream.unsubscribe(record);
    EXPECT_FALSE(record->active);
    EXPECT_TRUE(fresh->active);
    EXPECT_EQ(stream.subscriptions().find("d:1"), fresh);
  });
}

TEST_F(StreamTest, ASecondConnectLeavesTheFirstClientServingItsRecords) {
  run_on(io, [&]() -> Awaitable {
    auto stream = std::make_unique<TolbuStream>(config);
    co_await connect(*stream);
    std::vector<int> first_seen;
    auto first_record = co_await stream->subscribe(
        "c:1", [&](const json::value& v) { first_seen.push_back(int(v.at("n").as_int64())); });
    auto first_client = stream->client();
    co_await connect(*stream);
    EXPECT_NE(stream->client(), first_client);
    EXPECT_EQ(first_client->state(), cf::ClientState::CONNECTED) << "not disconnected";
    EXPECT_EQ(hub->stats().connected, 2u);
    // The record belongs to the first client: a new registration appends to it.
    auto again = co_await stream->subscribe("c:1", [&](const json::value&) {});
    EXPECT_EQ(again, first_record);
    hub->publish("c:1", json::object{{"n", 5}});
    EXPECT_TRUE(co_await until([&] { return first_seen.size() == 1; }));

    // Nothing dangles when the records and the stream go: the first client closes too.
    std::weak_ptr<cf::Client> weak_first = first_client;
    first_client.reset();
    first_record.reset();
    again.reset();
    co_await stream->disconnect();
    stream.reset();
    EXPECT_TRUE(weak_first.expired());
    EXPECT_TRUE(co_await until([&] { return hub->stats().sessions == 0; }));
  });
}

// Callbacks that own memory (a string and a shared_ptr captured by value, an init-capture),
// through every call that takes one. Under g++ they are bound to variables first (an owning
// temporary inside co_await does not compile there); other compilers take them inline too.
// The sanitizer pass catches a callable destroyed twice; the shared count catches it anywhere.
#if defined(__GNUC__) && !defined(__clang__)
#define TOLBU_INLINE_OR_BOUND(bound, inline_form) bound
#else
#define TOLBU_INLINE_OR_BOUND(bound, inline_form) inline_form
#endif

TEST_F(StreamTest, OwningCallbacksOfEveryCallRunAndAreFreedOnce) {
  auto seen = std::make_shared<std::vector<std::string>>();
  run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    const std::string symbol = "VN30F1M-a-name-long-enough-for-the-heap";
    auto on_connect = [seen, tag = std::string("connected, and long enough for the heap")] {
      seen->push_back(tag.substr(0, 9));
    };
    auto on_disconnect = [seen, symbol] { seen->push_back("disconnected"); };
    auto on_error = [seen, symbol](const std::exception&) {};
    co_await stream.connect(
        TOLBU_INLINE_OR_BOUND(on_connect, ([seen, tag = std::string("connected, on the heap")] {
                                seen->push_back(tag.substr(0, 9));
                              })),
        on_disconnect, on_error);
    EXPECT_TRUE(co_await until([&] { return !seen->empty(); }));

    // One callback per kind, each noting its channel's tag and what it got.
    auto raw = [seen](std::string tag) {
      return [seen, tag](const json::value& v) { seen->push_back(tag + json::serialize(v)); };
    };
    auto on_depth = [seen, symbol](const tolbu_sdk::types::Depth& d) {
      seen->push_back("depth " + std::to_string(d.bid_price_depth.size()));
    };
    auto on_candle = [seen, symbol](const Candle& c) {
      seen->push_back("candle " + std::to_string(int(c.close)));
    };
    auto on_info = [seen, symbol](const tolbu_sdk::types::ProductInfo& p) {
      seen->push_back("info " + std::to_string(int(p.lot_size)));
    };
    auto on_stat = [seen, symbol](const tolbu_sdk::types::ProductStat& p) {
      seen->push_back("stat " + std::to_string(int(p.last_price)));
    };
    auto on_any = raw("any "), on_log = raw("log "), on_trades = raw("trades "),
         on_report = raw("report "), on_master = raw("master "), on_order = raw("order "),
         on_position = raw("position ");
    co_await stream.subscribe("market:Custom:X", TOLBU_INLINE_OR_BOUND(on_any, raw("any ")));
    co_await stream.subscribe_depth("D", on_depth);
    co_await stream.subscribe_candles(
        "C", 60,
        TOLBU_INLINE_OR_BOUND(on_candle, ([seen, symbol](const Candle& c) {
                                seen->push_back("candle " + std::to_string(int(c.close)));
                              })));
    co_await stream.subscribe_product_info("I", on_info);
    co_await stream.subscribe_product_stat("S", on_stat);
    co_await stream.subscribe_trade_log("T", on_log);
    co_await stream.subscribe_market_trades("T", on_trades);
    co_await stream.subscribe_order_execution_report("SIM0001", on_report);
    co_await stream.subscribe_algo_master("A", on_master);
    co_await stream.subscribe_algo_order("A", on_order);
    co_await stream.subscribe_algo_position("A", on_position);

    Candle candle;
    candle.open = candle.high = candle.low = candle.close = 1250;
    tolbu_sdk::types::Depth depth{"D", 1, {{1250.1, 10}}, {{1250.3, 4}}};
    tolbu_sdk::types::ProductInfo info;
    info.symbol = "I";
    info.lot_size = 100;
    tolbu_sdk::types::ProductStat stat;
    stat.symbol = "S";
    stat.last_price = 1251;
    hub->publish("market:Custom:X", 1);
    hub->publish("market:Depth:D", depth.to_json());
    hub->publish("market:OHLCV:C:60", candle.to_json());
    hub->publish("market:ProductInfo:I", info.to_json());
    hub->publish("market:ProductStat:S", stat.to_json());
    hub->publish("market:TradeLog:T", 2);
    hub->publish("order:OrderExecutionReport:SIM0001", 3);
    hub->publish("algo:AlgoMaster:A", 4);
    hub->publish("algo:AlgoOrder:A", 5);
    hub->publish("algo:AlgoPosition:A", 6);
    EXPECT_TRUE(co_await until([&] { return seen->size() == 12; }));
    co_await stream.disconnect();
    EXPECT_TRUE(co_await until([&] { return seen->size() == 13; }));
  });
  EXPECT_EQ(*seen, (std::vector<std::string>{"connected", "any 1", "depth 1", "candle 1250",
                                             "info 100", "stat 1251", "log 2", "trades 2",
                                             "report 3", "master 4", "order 5", "position 6",
                                             "disconnected"}));
  EXPECT_EQ(seen.use_count(), 1);  // every copy released once, none twice
}

}  // namespace
