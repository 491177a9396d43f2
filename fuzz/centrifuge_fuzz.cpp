// The protocol client's frame reader: each input goes out as one text frame from a WebSocket
// peer on loopback to a connected client with two subscriptions and a server-side one, whose
// handlers record what they get. Whatever the frame holds, the client must stay usable: it
// answers the peer's ping afterwards, on this connection or on the next one it makes.

#include "fuzz_check.hpp"
#include "quiet_logs.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "ws_peer.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace tolbu_sdk::platform::centrifuge;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Counts {
  std::atomic<std::size_t> publications{0}, subscribed{0}, unsubscribed{0}, errors{0},
      connected{0}, disconnected{0}, other{0};
};

template <class Context>
EventHandler<Context> count(std::atomic<std::size_t>& n) {
  return [&n](const Context& ctx) -> asio::awaitable<void> {
    (void)ctx.to_string();  // every context is rendered, as a logging strategy would
    ++n;
    co_return;
  };
}

struct Session {
  Session() {
    tolbu_fuzz::quiet_logs();
    ClientEventHandler events;
    events.on_connected = count<ConnectedContext>(counts.connected);
    events.on_disconnected = count<DisconnectedContext>(counts.disconnected);
    events.on_error = count<ErrorContext>(counts.errors);
    events.on_message = count<MessageContext>(counts.other);
    events.on_server_subscribed = count<SubscribedContext>(counts.subscribed);
    events.on_server_publication = count<PublicationContext>(counts.publications);
    events.on_server_unsubscribed = count<UnsubscribedContext>(counts.unsubscribed);
    ClientOptions options;
    options.token = "fuzz";
    options.timeout = 2s;
    options.min_reconnect_delay = 1ms;
    options.max_reconnect_delay = 20ms;
    client = Client::create(io.get_executor(),
                            "ws://127.0.0.1:" + std::to_string(peer.port()) + "/connection/websocket",
                            events, options);
    for (const char* channel : {"fz:a", "fz:b"}) {
      SubscriptionEventHandler h;
      h.on_publication = count<PublicationContext>(counts.publications);
      h.on_subscribed = count<SubscribedContext>(counts.subscribed);
      h.on_unsubscribed = count<UnsubscribedContext>(counts.unsubscribed);
      h.on_error = count<SubscriptionErrorContext>(counts.errors);
      h.on_subscribing = count<SubscribingContext>(counts.other);
      h.on_join = count<JoinContext>(counts.other);
      h.on_leave = count<LeaveContext>(counts.other);
      subs.push_back(client->new_subscription(channel, std::move(h)));
    }
    thread = std::thread([this] { io.run(); });
  }

  // Asks a client that gave up, or subscriptions that ended, to start again.
  void revive() {
    asio::post(io, [this] {
      const auto ignore = [](std::exception_ptr) {};
      if (client->state() == ClientState::DISCONNECTED)
        asio::co_spawn(io, client->connect(), ignore);
      for (auto& s : subs)
        if (s->state() == SubscriptionState::UNSUBSCRIBED)
          asio::co_spawn(io, s->subscribe(), ignore);
    });
  }

  // Answers the client's commands until it has answered a ping; false when it never did.
  bool settle(std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    bool pinged = false;
    while (Clock::now() < deadline) {
      if (!peer.connected()) {
        connect_answered = pinged = false;
        if (!peer.accept(100ms)) {
          revive();
          continue;
        }
      }
      if (connect_answered && !pinged) {
        peer.send_text("{}");
        pinged = true;
      }
      const std::string message = peer.read_text(100ms);
      bool pong = false;
      for (const auto line : tolbu_fuzz::lines(message)) {
        if (line == "{}") {
          pong = true;
          continue;
        }
        answer(line);
      }
      if (pong && pinged) return true;
    }
    return false;
  }

  void answer(std::string_view line) {
    boost::system::error_code ec;
    const json::value v = json::parse(line, ec);
    if (ec || !v.is_object()) return;
    const auto& command = v.get_object();
    const auto* id = command.if_contains("id");
    if (!id || !id->is_number()) return;
    for (const auto& [method, body] : command) {
      if (method == "id") continue;
      json::object result;
      if (method == "connect") {
        result = {{"client", "fz-" + std::to_string(++connections)},
                  {"version", "fuzz"},
                  {"ping", 0},
                  {"pong", true},
                  {"subs", json::object{{"fz:server", json::object{{"recoverable", true},
                                                                   {"epoch", "e"},
                                                                   {"offset", 0}}}}}};
        connect_answered = true;
      } else if (method == "subscribe" && body.is_object() &&
                 body.get_object().if_contains("channel") &&
                 body.at("channel") == json::value("fz:a")) {
        result = {{"recoverable", true}, {"epoch", "e"}, {"offset", 0}};
      }
      json::object reply{{"id", *id}, {method, std::move(result)}};
      peer.send_text(json::serialize(reply));
      return;
    }
  }

  tolbu_fuzz::WsPeer peer;
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  Counts counts;
  std::shared_ptr<Client> client;
  std::vector<std::shared_ptr<Subscription>> subs;
  std::thread thread;
  bool connect_answered = false;
  std::size_t connections = 0;
};

Session& session() {
  static auto* s = [] {
    auto* s = new Session;
    s->revive();
    if (!s->settle(10s)) std::abort();
    return s;
  }();
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = session();
  s.revive();
  if (!s.peer.connected()) FUZZ_CHECK(s.settle(8s));
  s.peer.send_text(std::string_view(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(s.settle(8s));
  return 0;
}
