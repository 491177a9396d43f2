// The protocol client against the sim's hub, in process, over loopback.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/json.hpp>

#include "loop_support.hpp"
#include "streaming/hub.hpp"
#include "tls_cert.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace tolbu_sdk::platform::centrifuge;
using namespace std::chrono_literals;
using tolbu_sim::streaming::Hub;
using tolbu_test::LogCapture;
using tolbu_test::pause;
using tolbu_test::run_on;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;

// Every event of a client and its subscriptions, as short texts.
struct Recorder {
  std::vector<std::string> events;
  std::vector<PublicationContext> pubs;
  std::vector<DisconnectedContext> disconnects;
  std::vector<ErrorContext> errors;

  std::size_t count(const std::string& prefix) const {
    return std::count_if(events.begin(), events.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  }

  ClientEventHandler client() {
    ClientEventHandler h;
    h.on_connected = [this](const ConnectedContext& ctx) -> Awaitable {
      events.push_back("connected:" + ctx.client);
      co_return;
    };
    h.on_disconnected = [this](const DisconnectedContext& ctx) -> Awaitable {
      events.push_back("disconnected:" + std::to_string(ctx.code));
      disconnects.push_back(ctx);
      co_return;
    };
    h.on_error = [this](const ErrorContext& ctx) -> Awaitable {
      events.push_back("error:" + ctx.type + ":" + std::to_string(ctx.code));
      errors.push_back(ctx);
      co_return;
    };
    return h;
  }

  SubscriptionEventHandler sub() {
    SubscriptionEventHandler h;
    h.on_publication = [this](const PublicationContext& ctx) -> Awaitable {
      pubs.push_back(ctx);
      co_return;
    };
    h.on_subscribed = [this](const SubscribedContext& ctx) -> Awaitable {
      events.push_back(std::string("subscribed:") + (ctx.was_resubscribed ? "again" : "first"));
      co_return;
    };
    h.on_error = [this](const SubscriptionErrorContext& ctx) -> Awaitable {
      events.push_back("sub_error:" + std::to_string(ctx.code));
      co_return;
    };
    h.on_unsubscribed = [this](const UnsubscribedContext& ctx) -> Awaitable {
      events.push_back("unsubscribed:" + std::to_string(ctx.code));
      co_return;
    };
    return h;
  }
};

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tolbu_sim::streaming::HubOptions o;
    o.token = "secret";
    hub = Hub::create(io.get_executor(), o);
    port = hub->listen("127.0.0.1", 0);
  }
  void TearDown() override {
    if (hub) hub->close();
  }

  std::string url() const {
    return "ws://127.0.0.1:" + std::to_string(port) + "/connection/websocket";
  }

  static ClientOptions fast(std::string token = "secret") {
    ClientOptions o;
    o.token = std::move(token);
    o.timeout = 2s;
    o.min_reconnect_delay = 20ms;
    o.max_reconnect_delay = 200ms;
    return o;
  }

  std::size_t subscribers(const std::string& channel) const {
    auto s = hub->stats().subscribers;
    auto it = s.find(channel);
    return it == s.end() ? 0 : it->second;
  }

  asio::io_context io;
  std::shared_ptr<Hub> hub;
  std::uint16_t port = 0;
  Recorder rec;
};

TEST_F(ClientTest, ConnectsSubscribesAndReceivesBatchedPublicationsInOrder) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    EXPECT_EQ(client->state(), ClientState::DISCONNECTED);
    co_await client->connect();
    EXPECT_EQ(client->state(), ClientState::CONNECTING) << "connect() does not wait";
    co_await client->ready(2s);
    auto sub = client->new_subscription("market:OHLCV:HPG:60", rec.sub());
    co_await sub->subscribe();
    EXPECT_EQ(sub->state(), SubscriptionState::SUBSCRIBED);
    EXPECT_EQ(subscribers("market:OHLCV:HPG:60"), 1u);

    // Published back to back, the three leave in one frame, newline-separated.
    for (int i = 0; i < 3; ++i) hub->publish("market:OHLCV:HPG:60", json::object{{"seq", i}});
    hub->publish("market:OHLCV:FPT:60", json::object{{"seq", 99}});  // not subscribed
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 3; }));
    for (int i = 0; i < 3; ++i) {
      const auto& p = rec.pubs[static_cast<std::size_t>(i)];
      EXPECT_EQ(p.channel, "market:OHLCV:HPG:60");
      CO_ASSERT_TRUE(p.data.has_value());
      EXPECT_EQ(p.data->at("seq").as_int64(), i);
      CO_ASSERT_TRUE(p.pub.has_value());
      EXPECT_FALSE(p.pub->data.has_value()) << "the payload is not copied into pub";
      EXPECT_EQ(p.member_names(), (std::vector<std::string>{"channel", "data", "pub"}));
    }
    EXPECT_EQ(rec.count("connected:"), 1u);
    EXPECT_EQ(rec.count("subscribed:first"), 1u);
    EXPECT_EQ(hub->stats().client_names, std::vector<std::string>{"tolbu-cpp 0.1.0"});
  });
}

TEST_F(ClientTest, WrongTokenIsRefusedWithoutReconnecting) {
  LogCapture log("centrifuge");
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast("wrong"));
    auto sub = client->new_subscription("market:Depth:HPG", rec.sub());
    co_await client->connect();
    co_await sub->subscribe();  // pending: not connected yet
    EXPECT_EQ(sub->state(), SubscriptionState::SUBSCRIBING);
    EXPECT_TRUE(co_await until([&] { return client->state() == ClientState::DISCONNECTED; }));
    EXPECT_TRUE(co_await until([&] { return rec.count("disconnected:") == 1; }));
    co_await pause(150ms);  // several backoff periods: nothing more may happen
    EXPECT_EQ(hub->stats().connects, 0u);
    EXPECT_EQ(hub->stats().sessions, 0u);
    CO_ASSERT_EQ(rec.errors.size(), 1u);
    EXPECT_EQ(rec.errors[0].type, "connect");
    EXPECT_EQ(rec.errors[0].code, 3500u);
    EXPECT_EQ(rec.errors[0].message, "invalid token");
    CO_ASSERT_EQ(rec.disconnects.size(), 1u);
    EXPECT_FALSE(rec.disconnects[0].reconnect);
    EXPECT_EQ(sub->state(), SubscriptionState::UNSUBSCRIBED);
    EXPECT_THROW(co_await client->ready(100ms), tolbu_sdk::RuntimeError);
  });
  EXPECT_EQ(log.count("ERROR:centrifuge:Connection refused by the server: 3500 invalid token"), 1u);
}

TEST_F(ClientTest, RefusedSubscriptionThrowsAndEndsTheSubscription) {
  hub->options().deny_prefixes = {"algo:"};
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    co_await client->connect();
    co_await client->ready(2s);
    auto sub = client->new_subscription("algo:AlgoOrder:ACC1", rec.sub());
    bool threw = false;
    try {
      co_await sub->subscribe();
    } catch (const ReplyError& e) {
      threw = true;
      EXPECT_EQ(e.code(), 103u);
      EXPECT_NE(std::string(e.what()).find("permission denied"), std::string::npos);
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(sub->state(), SubscriptionState::UNSUBSCRIBED);
    EXPECT_TRUE(co_await until([&] { return rec.count("unsubscribed:103") == 1; }));
    EXPECT_EQ(rec.count("sub_error:103"), 1u);
    // The channel can be asked for again: a fresh subscription object takes its place.
    auto again = client->new_subscription("algo:AlgoOrder:ACC1", rec.sub());
    hub->options().deny_prefixes.clear();
    co_await again->subscribe();
    EXPECT_EQ(again->state(), SubscriptionState::SUBSCRIBED);
  });
}

TEST_F(ClientTest, AnswersServerPingsAndDetectsAServerThatWentSilent) {
  hub->options().ping_interval = 100ms;  // announced as 1 s, sent ten times as often
  run_on(io, [&]() -> Awaitable {
    auto options = fast();
    options.max_server_ping_delay = 200ms;
    auto client = Client::create(io.get_executor(), url(), rec.client(), options);
    auto sub = client->new_subscription("market:TradeLog:HPG", rec.sub());
    co_await sub->subscribe();
    co_await client->connect();
    // Without pongs the hub would cut the connection at its second ping.
    EXPECT_TRUE(co_await until([&] { return hub->stats().pongs >= 4; }));
    EXPECT_EQ(hub->stats().connects, 1u);

    hub->options().pings = false;
    EXPECT_TRUE(co_await until([&] { return rec.count("disconnected:") == 1; }, 4s));
    EXPECT_EQ(rec.disconnects[0].code, codes::NO_PING);
    EXPECT_TRUE(rec.disconnects[0].reconnect);
    hub->options().pings = true;
    EXPECT_TRUE(co_await until([&] { return rec.count("subscribed:again") == 1; }));
    EXPECT_EQ(client->state(), ClientState::CONNECTED);
    auto delivered = hub->publish("market:TradeLog:HPG", json::object{{"px", 1}});
    EXPECT_EQ(delivered, 1u);
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 1; }));
  });
}

TEST_F(ClientTest, ReconnectsAfterDroppedConnectionsAndResubscribesEverything) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    co_await client->connect();
    co_await client->ready(2s);
    std::vector<std::shared_ptr<Subscription>> subs;
    for (const char* ch : {"a:1", "b:2", "c:3"}) {
      subs.push_back(client->new_subscription(ch, rec.sub()));
      co_await subs.back()->subscribe();
    }
    for (int round = 1; round <= 2; ++round) {
      // Abruptly (as in a crash), then with a close frame asking to come back.
      if (round == 1) {
        hub->drop_all(std::nullopt, "");
      } else {
        hub->drop_all(3001, "shutdown");
      }
      EXPECT_TRUE(co_await until([&] {
        return rec.count("subscribed:again") == static_cast<std::size_t>(3 * round) &&
               subscribers("a:1") == 1 && subscribers("b:2") == 1 && subscribers("c:3") == 1;
      }));
    }
    EXPECT_EQ(rec.count("connected:"), 3u);
    CO_ASSERT_EQ(rec.disconnects.size(), 2u);
    EXPECT_EQ(rec.disconnects[0].code, codes::TRANSPORT_CLOSED);
    EXPECT_EQ(rec.disconnects[1].code, 3001u);
    EXPECT_EQ(rec.disconnects[1].reason, "shutdown");
    EXPECT_TRUE(rec.disconnects[1].reconnect);
    hub->publish("b:2", json::object{{"after", true}});
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 1; }));
    EXPECT_EQ(rec.pubs[0].channel, "b:2");
  });
}

TEST_F(ClientTest, TerminalDisconnectStopsReconnecting) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    auto sub = client->new_subscription("x:1", rec.sub());
    co_await client->connect();
    co_await client->ready(2s);
    co_await sub->subscribe();
    // A disconnect push first (the server's advice), then the same as a close frame.
    hub->send_raw(R"({"push":{"disconnect":{"code":3503,"reason":"force no reconnect"}}})");
    EXPECT_TRUE(co_await until([&] { return client->state() == ClientState::DISCONNECTED; }));
    co_await pause(150ms);
    EXPECT_EQ(hub->stats().connects, 1u);
    CO_ASSERT_EQ(rec.disconnects.size(), 1u);
    EXPECT_EQ(rec.disconnects[0].code, 3503u);
    EXPECT_FALSE(rec.disconnects[0].reconnect);
    EXPECT_EQ(sub->state(), SubscriptionState::UNSUBSCRIBED);

    // connect() again is the user's decision and works.
    co_await client->connect();
    co_await client->ready(2s);
    hub->drop_all(3500, "invalid token");
    EXPECT_TRUE(co_await until([&] { return client->state() == ClientState::DISCONNECTED; }));
    co_await pause(150ms);
    EXPECT_EQ(hub->stats().connects, 2u);
  });
}

TEST_F(ClientTest, GarbageAndUnknownMessagesAreLoggedAndSurvived) {
  LogCapture log("centrifuge");
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    auto sub = client->new_subscription("m:1", rec.sub());
    co_await client->connect();
    co_await sub->subscribe();
    co_await client->ready(2s);
    EXPECT_TRUE(co_await until([&] { return sub->state() == SubscriptionState::SUBSCRIBED; }));
    hub->send_raw("this is not json");
    hub->send_raw(
        "{\"push\":{\"channel\":\"m:1\",\"pub\":{\"data\":{\"a\":1}}}}\n{broken\n"
        "{\"push\":{\"channel\":\"m:1\",\"pub\":{\"data\":{\"a\":2}}}}");
    hub->send_raw(R"({"push":{"channel":"m:1","mystery":{"x":1}}})");
    hub->send_raw(R"({"id":4242,"subscribe":{}})");
    hub->send_raw(R"([1,2,3])");
    hub->send_raw(R"({"push":{"channel":"m:1","pub":{"data":{"a":1)");  // cut short
    hub->publish("m:1", json::object{{"a", 3}});
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 3; }));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rec.pubs[std::size_t(i)].data->at("a").as_int64(), i + 1);
    EXPECT_EQ(hub->stats().connects, 1u);
    EXPECT_EQ(client->state(), ClientState::CONNECTED);
  });
  EXPECT_EQ(log.count("ERROR:centrifuge:Malformed message skipped"), 3u);
  EXPECT_EQ(log.count("WARNING:centrifuge:Unknown push skipped"), 1u);
  EXPECT_EQ(log.count("WARNING:centrifuge:Reply to unknown command 4242 ignored"), 1u);
  EXPECT_EQ(log.count("WARNING:centrifuge:Unexpected message skipped: [1,2,3]"), 1u);
}

TEST_F(ClientTest, ServerSideUnsubscribeIsFinalOrAResubscribeAdvice) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    co_await client->connect();
    co_await client->ready(2s);
    auto gone = client->new_subscription("gone:1", rec.sub());
    auto back = client->new_subscription("back:1", rec.sub());
    co_await gone->subscribe();
    co_await back->subscribe();
    hub->unsubscribe_all("gone:1", 2000, "server unsubscribe");
    hub->unsubscribe_all("back:1", 2500, "insufficient state");
    EXPECT_TRUE(co_await until([&] { return rec.count("subscribed:again") == 1; }));
    EXPECT_EQ(gone->state(), SubscriptionState::UNSUBSCRIBED);
    EXPECT_EQ(back->state(), SubscriptionState::SUBSCRIBED);
    EXPECT_EQ(rec.count("unsubscribed:2000"), 1u);
    EXPECT_EQ(subscribers("gone:1"), 0u);
    EXPECT_EQ(subscribers("back:1"), 1u);
  });
}

TEST_F(ClientTest, UnsubscribeStopsDeliveryAndFreesTheChannel) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    co_await client->connect();
    co_await client->ready(2s);
    auto sub = client->new_subscription("u:1", rec.sub());
    EXPECT_THROW(client->new_subscription("", rec.sub()), tolbu_sdk::ValueError);
    co_await sub->subscribe();
    EXPECT_THROW(client->new_subscription("u:1", rec.sub()), tolbu_sdk::RuntimeError);
    EXPECT_EQ(client->get_subscription("u:1")->state(), SubscriptionState::SUBSCRIBED);
    // Published before the unsubscribe but still in flight: not delivered.
    hub->publish("u:1", json::object{{"n", 1}});
    co_await sub->unsubscribe();
    EXPECT_EQ(sub->state(), SubscriptionState::UNSUBSCRIBED);
    EXPECT_EQ(subscribers("u:1"), 0u);
    co_await sub->unsubscribe();  // a second time: nothing
    auto fresh = client->new_subscription("u:1", rec.sub());
    co_await fresh->subscribe();
    hub->publish("u:1", json::object{{"n", 2}});
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 1; }));
    co_await pause(20ms);
    CO_ASSERT_EQ(rec.pubs.size(), 1u);
    EXPECT_EQ(rec.pubs[0].data->at("n").as_int64(), 2);
  });
}

TEST_F(ClientTest, DisconnectAndDestructionCloseCleanly) {
  run_on(io, [&]() -> Awaitable {
    auto client = Client::create(io.get_executor(), url(), rec.client(), fast());
    auto sub = client->new_subscription("d:1", rec.sub());
    co_await client->connect();
    co_await sub->subscribe();
    co_await client->ready(2s);
    co_await client->disconnect();
    EXPECT_EQ(client->state(), ClientState::DISCONNECTED);
    EXPECT_TRUE(co_await until([&] { return hub->stats().sessions == 0; }));
    EXPECT_TRUE(co_await until([&] { return rec.disconnects.size() == 1; }));
    EXPECT_EQ(rec.disconnects[0].code, codes::DISCONNECT_CALLED);
    EXPECT_FALSE(rec.disconnects[0].reconnect);
    co_await client->disconnect();  // again: no second event
    co_await pause(100ms);
    EXPECT_EQ(rec.disconnects.size(), 1u);
    EXPECT_EQ(hub->stats().connects, 1u);

    co_await client->connect();
    co_await client->ready(2s);
    const auto events = rec.events.size();
    client.reset();
    sub.reset();
    EXPECT_TRUE(co_await until([&] { return hub->stats().sessions == 0; }));
    co_await pause(50ms);
    EXPECT_EQ(rec.events.size(), events) << "no event after the client is gone";
  });
}

TEST_F(ClientTest, HandshakeAndReplyTimeoutsLeadToRetries) {
  // A TCP peer that accepts and never answers the upgrade.
  asio::ip::tcp::acceptor mute(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::vector<asio::ip::tcp::socket> held;
  std::function<void()> accept_next = [&] {
    mute.async_accept([&](boost::system::error_code ec, asio::ip::tcp::socket s) {
      if (ec) return;
      held.push_back(std::move(s));
      accept_next();
    });
  };
  accept_next();
  run_on(io, [&]() -> Awaitable {
    auto options = fast();
    options.timeout = 150ms;
    auto silent = Client::create(
        io.get_executor(), "ws://127.0.0.1:" + std::to_string(mute.local_endpoint().port()) + "/",
        rec.client(), options);
    co_await silent->connect();
    EXPECT_TRUE(co_await until([&] { return rec.count("error:transport") >= 2; }));
    EXPECT_EQ(silent->state(), ClientState::CONNECTING);
    co_await silent->disconnect();

    // A server that takes the connection but never answers the connect command.
    Recorder second;
    hub->options().replies = false;
    auto hung = Client::create(io.get_executor(), url(), second.client(), options);
    co_await hung->connect();
    EXPECT_TRUE(co_await until([&] { return second.count("error:timeout") >= 2; }));
    hub->options().replies = true;
    EXPECT_TRUE(co_await until([&] { return hung->state() == ClientState::CONNECTED; }));
    EXPECT_EQ(second.count("disconnected:"), 0u) << "never connected, so never disconnected";
  });
  mute.close();
}

TEST_F(ClientTest, FailingAndSlowHandlersNeitherStopNorReorderDelivery) {
  LogCapture log("centrifuge");
  run_on(io, [&]() -> Awaitable {
    auto options = fast();
    options.max_queued_events = 8;  // reading pauses while the handlers are behind
    auto client = Client::create(io.get_executor(), url(), {}, options);
    std::vector<std::int64_t> seen;
    SubscriptionEventHandler h;
    h.on_publication = [&](const PublicationContext& ctx) -> Awaitable {
      const auto n = ctx.data->at("n").as_int64();
      seen.push_back(n);
      if (n % 10 == 0) throw std::runtime_error("bad luck");
      co_await pause(1ms);
    };
    auto sub = client->new_subscription("s:1", h);
    co_await client->connect();
    co_await sub->subscribe();
    co_await client->ready(2s);
    EXPECT_TRUE(co_await until([&] { return sub->state() == SubscriptionState::SUBSCRIBED; }));
    for (int i = 0; i < 200; ++i) hub->publish("s:1", json::object{{"n", i}});
    EXPECT_TRUE(co_await until([&] { return seen.size() == 200; }));
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::int64_t(i));
  });
  EXPECT_EQ(log.count("ERROR:centrifuge:Error in on_publication handler for s:1"), 20u);
}

TEST_F(ClientTest, WssWithTheServersCertificateAndNotWithout) {
  auto cert = tolbu_test::make_test_certificate();
  auto tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  tls->use_certificate_chain(asio::buffer(cert.cert_pem));
  tls->use_private_key(asio::buffer(cert.key_pem), asio::ssl::context::pem);
  const auto tls_port = hub->listen_tls("127.0.0.1", 0, tls);
  const auto wss = "wss://127.0.0.1:" + std::to_string(tls_port) + "/connection/websocket";
  run_on(io, [&]() -> Awaitable {
    auto options = fast();
    options.tls_ca_pem = cert.cert_pem;
    auto client = Client::create(io.get_executor(), wss, rec.client(), options);
    auto sub = client->new_subscription("t:1", rec.sub());
    co_await client->connect();
    co_await sub->subscribe();
    co_await client->ready(3s);
    EXPECT_TRUE(co_await until([&] { return subscribers("t:1") == 1; }));
    hub->publish("t:1", json::object{{"secure", true}});
    EXPECT_TRUE(co_await until([&] { return rec.pubs.size() == 1; }));

    Recorder untrusting;
    auto other = Client::create(io.get_executor(), wss, untrusting.client(), fast());
    co_await other->connect();
    EXPECT_TRUE(co_await until([&] { return untrusting.count("error:transport") >= 1; }));
    EXPECT_NE(other->state(), ClientState::CONNECTED);
    EXPECT_NE(untrusting.errors[0].message.find("certificate"), std::string::npos)
        << untrusting.errors[0].message;
  });
}

TEST(ClientAddress, OnlyWebSocketUrlsAreAccepted) {
  asio::io_context io;
  EXPECT_THROW(Client::create(io.get_executor(), "http://127.0.0.1:1/x"), tolbu_sdk::ValueError);
  EXPECT_THROW(Client::create(io.get_executor(), "not a url"), tolbu_sdk::ValueError);
  EXPECT_THROW(Client::create(io.get_executor(), "ws:///path"), tolbu_sdk::ValueError);
  EXPECT_NO_THROW(Client::create(io.get_executor(), "ws://[::1]:8000/connection/websocket"));
  EXPECT_NO_THROW(Client::create(io.get_executor(), "wss://stream.example/connection?x=1"));
}

}  // namespace
