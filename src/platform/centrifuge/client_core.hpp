#pragma once
// The client's state, shared by its coroutines, and what it is made of. Private to the
// client's files: client_dispatch.cpp (events, writing, commands, reading),
// client_subscriptions.cpp (client- and server-side subscriptions, the Subscription API) and
// client.cpp (connecting, reconnects, token refresh, pings, shutting down, the Client API).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "transport.hpp"

namespace tolbu_sdk::platform::centrifuge {

namespace asio = boost::asio;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace detail {

inline logging::Logger& log() {
  static logging::Logger& logger = logging::get_logger("centrifuge");
  return logger;
}

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

inline const json::object* object_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_object() ? &v->get_object() : nullptr;
}

inline json::object* object_at(json::object& o, std::string_view key) {
  auto* v = o.if_contains(key);
  return v && v->is_object() ? &v->get_object() : nullptr;
}

inline std::string string_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

inline std::uint64_t uint_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v) return 0;
  if (v->is_uint64()) return v->get_uint64();
  if (v->is_int64()) return v->get_int64() > 0 ? static_cast<std::uint64_t>(v->get_int64()) : 0;
  if (v->is_double() && v->get_double() > 0) return static_cast<std::uint64_t>(v->get_double());
  return 0;
}

inline bool bool_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_bool() && v->get_bool();
}

inline json::value value_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v ? *v : json::value();
}

// A stream position and whether the channel is recoverable at all.
struct Position {
  bool recoverable = false;
  std::uint64_t offset = 0;
  std::string epoch;
  bool lost = false;  // a recovery was refused: the next subscribed event says so
};

// What a live publication is to the position: the next one (the position moves on), one
// already delivered (a recovered publication that the live stream repeats, or the reverse),
// or one past a hole: publications between were missed.
enum class Step { NEXT, SEEN, GAP };

inline Step advance(Position& pos, const Publication& pub) {
  if (!pos.recoverable || pub.offset == 0) return Step::NEXT;
  if (pub.offset <= pos.offset) return Step::SEEN;
  if (pub.offset > pos.offset + 1) return Step::GAP;
  pos.offset = pub.offset;
  return Step::NEXT;
}

// The subscribe request's recovery fields, when the position allows recovering.
inline bool add_recovery(json::object& params, const Position& pos) {
  if (!pos.recoverable || pos.lost) return false;
  params["recover"] = true;
  if (!pos.epoch.empty()) params["epoch"] = pos.epoch;
  if (pos.offset > 0) params["offset"] = pos.offset;
  return true;
}

using SubCorePtr = std::shared_ptr<Subscription::Core>;

struct SubEvent {
  SubCorePtr sub;
  std::variant<PublicationContext, SubscribedContext, SubscriptionErrorContext, SubscribingContext,
               UnsubscribedContext, JoinContext, LeaveContext>
      ctx;
};

// An event of a server-side subscription, for the client's handlers.
struct ServerEvent {
  std::variant<PublicationContext, SubscribedContext, UnsubscribedContext> ctx;
};

using Event = std::variant<SubEvent, ConnectedContext, DisconnectedContext, ErrorContext,
                           ConnectingContext, MessageContext, ServerEvent>;

// One WebSocket connection, from its handshake to its end.
struct Conn {
  explicit Conn(asio::any_io_executor executor) : ex(std::move(executor)) {}
  asio::any_io_executor ex;
  std::uint64_t serial = 0;
  std::unique_ptr<detail::Transport> transport;
  std::string out;      // messages waiting for the writer, newline-separated
  std::string writing;  // the frame being written
  bool write_active = false;
  bool closed = false;
  std::optional<std::pair<std::uint16_t, std::string>> close_frame;  // after pending writes
  DisconnectedContext reason;
  bool reason_set = false;
  Clock::time_point last_received{};
  std::uint32_t ping_seconds = 0;
  bool pong = false;
  bool refused = false;          // ended by a message we refused: counts as a failed attempt
  unsigned attempts_before = 0;  // failed attempts in a row before this one connected
  std::vector<std::shared_ptr<asio::steady_timer>> waiters;  // cancelled when it ends
  std::shared_ptr<asio::steady_timer> ping_timer;
  std::shared_ptr<asio::steady_timer> refresh_timer;

  void set_reason(std::uint32_t code, std::string text) {
    if (reason_set) return;
    reason_set = true;
    reason.code = code;
    reason.reason = std::move(text);
  }
};
using ConnPtr = std::shared_ptr<Conn>;

struct Reply {
  enum Outcome { OK, ERROR, CLOSED, TIMEOUT } outcome = CLOSED;
  json::object result;
  std::uint32_t code = 0;
  std::string message;
  bool temporary = false;
};

struct Pending {
  explicit Pending(const asio::any_io_executor& ex) : timer(ex) {}
  asio::steady_timer timer;
  std::uint64_t conn = 0;
  std::string method;
  bool finished = false;
  Reply reply;
  // Runs as the reply is read, before the messages after it: what it emits comes first.
  std::function<void(Reply&)> on_reply;
};

}  // namespace detail

// The client's files use the helpers above by their short names.
using namespace detail;

// ---------------------------------------------------------------------------------------
// State shared by the client's coroutines. Internal: nothing of it is exported.

struct __attribute__((visibility("hidden"))) Subscription::Core {
  std::string channel;
  SubscriptionEventHandler events;
  SubscriptionState state = SubscriptionState::UNSUBSCRIBED;
  Client::Core* client = nullptr;  // alive while any handle of this subscription is
  bool attached = true;            // still the client's subscription of its channel
  std::uint64_t sent_on = 0;       // connection whose subscribe command is in flight or done
  std::uint64_t generation = 0;    // bumped on unsubscribe: late replies are then ignored
  bool resubscribing = false;      // the next on_subscribed follows a reconnect
  // The server subscribed us to the channel itself: its one position is in server_subs and
  // nothing is asked of the server for this subscription.
  bool server_side = false;
  Position position;
  std::shared_ptr<asio::steady_timer> retry;
};

struct __attribute__((visibility("hidden"))) Client::Core
    : std::enable_shared_from_this<Client::Core> {
  Core(asio::any_io_executor executor, std::string addr, detail::Endpoint ep, ClientEventHandler ev,
       ClientOptions opts)
      : ex(std::move(executor)),
        address(std::move(addr)),
        endpoint(std::move(ep)),
        events(std::move(ev)),
        options(std::move(opts)),
        backoff(ex),
        drained(ex),
        rng(std::random_device{}()) {}

  asio::any_io_executor ex;
  std::string address;
  detail::Endpoint endpoint;
  ClientEventHandler events;
  ClientOptions options;

  ClientState state = ClientState::DISCONNECTED;
  bool shut = false;             // the client object is gone
  std::uint64_t run_serial = 0;  // the connect loop that is current
  std::uint64_t conn_serial = 0;
  ConnPtr conn;  // the current connection, handshaking or connected
  unsigned attempts = 0;
  asio::steady_timer backoff;

  std::uint32_t next_id = 1;
  std::unordered_map<std::uint32_t, std::shared_ptr<Pending>> pending;

  std::unordered_map<std::string, SubCorePtr, StringHash, std::equal_to<>> subs;
  std::vector<SubCorePtr> sub_order;  // resubscription follows the order of creation
  // Server-side subscriptions with their positions, kept across reconnects for recovery.
  std::map<std::string, Position, std::less<>> server_subs;

  // Each event with the bytes of the message it came from, charged to the message's last
  // event: its memory lives until that one is handled.
  struct Queued {
    Event ev;
    std::size_t bytes = 0;
  };
  std::deque<Queued> queue;
  std::size_t queued_bytes = 0;
  bool dispatching = false;
  bool reader_paused = false;
  asio::steady_timer drained;

  std::vector<std::shared_ptr<asio::steady_timer>> ready_waiters;
  std::mt19937_64 rng;

  template <typename Ctx>
  void emit_sub(const SubCorePtr& sub, Ctx ctx) {
    enqueue(SubEvent{sub, std::move(ctx)});
  }

  void emit_error(std::string type, std::uint32_t code, std::string message, bool temporary) {
    enqueue(ErrorContext{std::move(type), code, std::move(message), temporary});
  }

  void wake_ready_waiters() {
    for (auto& t : ready_waiters) t->cancel();
    ready_waiters.clear();
  }

  bool backlogged() const {
    return queue.size() >= options.max_queued_events || queued_bytes >= options.max_queued_bytes;
  }
  bool caught_up() const {
    return queue.size() <= options.max_queued_events / 2 &&
           queued_bytes <= options.max_queued_bytes / 2;
  }

  // A command on this connection waits for its reply.
  bool awaits_reply(const ConnPtr& c) const {
    for (const auto& [id, p] : pending) {
      if (p->conn == c->serial && !p->finished) return true;
    }
    return false;
  }

  SubCorePtr find_sub(std::string_view channel) const {
    auto it = subs.find(channel);
    return it == subs.end() ? nullptr : it->second;
  }

  // The token as the application holds it now.
  std::string current_token() const {
    return options.get_token ? options.get_token() : options.token;
  }

  // ----- events, writing, commands, reading: client_dispatch.cpp

  void enqueue(Event ev);
  template <typename Ctx>
  static asio::awaitable<void> invoke(const EventHandler<Ctx>& handler, const Ctx& ctx,
                                      const char* name);
  asio::awaitable<void> deliver(SubEvent& ev);
  asio::awaitable<void> deliver(Event& ev);
  static asio::awaitable<void> dispatch(std::shared_ptr<Core> self);
  void send(const ConnPtr& c, std::string_view text);
  void start_writer(const ConnPtr& c);
  static asio::awaitable<void> write_loop(std::shared_ptr<Core> self, ConnPtr c);
  // A command and its reply; the timeout is options.timeout unless one is given.
  asio::awaitable<Reply> call(ConnPtr c, const char* method, const json::object& params,
                              std::function<void(Reply&)> on_reply = {},
                              std::chrono::milliseconds timeout = {});
  void handle_reply(const ConnPtr& c, std::uint64_t id, json::object& o);
  void handle_frame(const ConnPtr& c, std::string_view text);
  void handle_message(const ConnPtr& c, json::value& v);
  void handle_push(const ConnPtr& c, json::object& push);
  static PublicationContext publication(const std::string& channel, json::object& po);
  static asio::awaitable<void> read_loop(std::shared_ptr<Core> self, ConnPtr c);

  // ----- subscriptions: client_subscriptions.cpp

  void server_unsubscribe(const ConnPtr& c, std::string_view channel, const json::object& u);
  void detach(const SubCorePtr& sub);
  void detach_all();
  static std::vector<PublicationContext> take_result(const std::string& channel, Position& pos,
                                                     json::object& result, bool recovering,
                                                     SubscribedContext& ctx);
  void server_subscribed(const std::string& channel, json::object& result, bool recovering);
  void apply_server_subs(json::object& result, const std::set<std::string>& asked);
  static asio::awaitable<void> subscribe_quietly(std::shared_ptr<Core> self, SubCorePtr sub,
                                                 ConnPtr c);
  asio::awaitable<void> send_subscribe(SubCorePtr sub, ConnPtr c);
  void subscribed(const SubCorePtr& sub, json::object& result, bool recovering);
  void schedule_retry(const SubCorePtr& sub, const ConnPtr& c);
  static asio::awaitable<void> retry_later(std::shared_ptr<Core> self, SubCorePtr sub, ConnPtr c,
                                           std::uint64_t gen);
  asio::awaitable<void> send_unsubscribe(SubCorePtr sub, ConnPtr c);
  void join_server_side(const SubCorePtr& sub);
  void leave_server_side(const SubCorePtr& sub, Position pos);
  SubCorePtr server_side_sub(std::string_view channel) const;
  void missed(const ConnPtr& c, const SubCorePtr& sub, std::string_view channel,
              const Position& pos, const Publication& pub);
  static asio::awaitable<void> resubscribe(std::shared_ptr<Core> self, SubCorePtr sub, ConnPtr c);

  // ----- connecting, shutting down: client.cpp

  void finish(const ConnPtr& c);
  void drop(const ConnPtr& c, std::uint32_t code, std::string reason);
  static asio::awaitable<void> watch_pings(std::shared_ptr<Core> self, ConnPtr c);
  static asio::awaitable<void> wait_done(ConnPtr c, std::optional<milliseconds> limit);
  milliseconds next_delay();
  static asio::awaitable<void> run(std::shared_ptr<Core> self, std::uint64_t serial);
  void give_up(std::uint32_t code, std::string reason);
  static milliseconds refresh_delay(std::uint32_t ttl_seconds);
  static milliseconds retry_delay(Clock::time_point expiry);
  static asio::awaitable<void> refresh_loop(std::shared_ptr<Core> self, ConnPtr c,
                                            std::uint32_t ttl);
  void connected(const ConnPtr& c, const json::object& result);
  asio::awaitable<void> attempt(std::uint64_t serial);
  asio::awaitable<void> disconnect();
  void shutdown() noexcept;
};

}  // namespace tolbu_sdk::platform::centrifuge
