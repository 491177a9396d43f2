// The protocol side of the client: commands and their replies, pushes, pings, the event
// queue, reconnects and subscriptions. The WebSocket layer is in transport.cpp.

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <unordered_map>
#include <variant>

#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "transport.hpp"

namespace tolbu_sdk::platform::centrifuge {

namespace asio = boost::asio;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

logging::Logger& log() {
  static logging::Logger& logger = logging::get_logger("centrifuge");
  return logger;
}

constexpr std::uint32_t kAlreadySubscribed = 105;
constexpr std::size_t kLoggedFrameChars = 200;

std::string excerpt(std::string_view text) {
  if (text.size() <= kLoggedFrameChars) return std::string(text);
  return std::string(text.substr(0, kLoggedFrameChars)) + "...";
}

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

const json::object* object_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_object() ? &v->get_object() : nullptr;
}

json::object* object_at(json::object& o, std::string_view key) {
  auto* v = o.if_contains(key);
  return v && v->is_object() ? &v->get_object() : nullptr;
}

std::string string_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

std::uint64_t uint_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v) return 0;
  if (v->is_uint64()) return v->get_uint64();
  if (v->is_int64()) return v->get_int64() > 0 ? static_cast<std::uint64_t>(v->get_int64()) : 0;
  if (v->is_double() && v->get_double() > 0) return static_cast<std::uint64_t>(v->get_double());
  return 0;
}

bool bool_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_bool() && v->get_bool();
}

json::value value_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v ? *v : json::value();
}

ClientInfo client_info(const json::object& o) {
  ClientInfo info;
  info.user = string_at(o, "user");
  info.client = string_at(o, "client");
  info.conn_info = value_at(o, "conn_info");
  info.chan_info = value_at(o, "chan_info");
  return info;
}

// A stream position and whether the channel is recoverable at all.
struct Position {
  bool recoverable = false;
  std::uint64_t offset = 0;
  std::string epoch;
  bool lost = false;  // a recovery was refused: the next subscribed event says so
};

// True when a publication moves the position on; false for one already delivered (a
// recovered publication that the live stream repeats, or the reverse).
bool advance(Position& pos, const Publication& pub) {
  if (!pos.recoverable || pub.offset == 0) return true;
  if (pub.offset <= pos.offset) return false;
  pos.offset = pub.offset;
  return true;
}

// The subscribe request's recovery fields, when the position allows recovering.
bool add_recovery(json::object& params, const Position& pos) {
  if (!pos.recoverable || pos.lost) return false;
  params["recover"] = true;
  if (!pos.epoch.empty()) params["epoch"] = pos.epoch;
  if (pos.offset > 0) params["offset"] = pos.offset;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// State shared by the client's coroutines.

struct Subscription::Core {
  std::string channel;
  SubscriptionEventHandler events;
  SubscriptionState state = SubscriptionState::UNSUBSCRIBED;
  Client::Core* client = nullptr;  // alive while any handle of this subscription is
  bool attached = true;            // still the client's subscription of its channel
  std::uint64_t sent_on = 0;       // connection whose subscribe command is in flight or done
  std::uint64_t generation = 0;    // bumped on unsubscribe: late replies are then ignored
  bool resubscribing = false;      // the next on_subscribed follows a reconnect
  Position position;
  std::shared_ptr<asio::steady_timer> retry;
};

namespace {

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

}  // namespace

struct Client::Core : std::enable_shared_from_this<Client::Core> {
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

  std::deque<Event> queue;
  bool dispatching = false;
  bool reader_paused = false;
  asio::steady_timer drained;

  std::vector<std::shared_ptr<asio::steady_timer>> ready_waiters;
  std::mt19937_64 rng;

  // ----- events ---------------------------------------------------------------------

  void enqueue(Event ev) {
    if (shut) return;
    queue.push_back(std::move(ev));
    if (!dispatching) {
      // Posted, not started here: co_spawn would run the dispatcher inline, once per
      // message. Deferred, it takes every event of the frame being read in one go.
      dispatching = true;
      asio::post(ex, [self = shared_from_this()] {
        asio::co_spawn(self->ex, dispatch(self), asio::detached);
      });
    }
  }

  template <typename Ctx>
  void emit_sub(const SubCorePtr& sub, Ctx ctx) {
    enqueue(SubEvent{sub, std::move(ctx)});
  }

  template <typename Ctx>
  static asio::awaitable<void> invoke(const EventHandler<Ctx>& handler, const Ctx& ctx,
                                      const char* name) {
    if (!handler) co_return;
    try {
      co_await handler(ctx);
    } catch (...) {
      log().exception(std::current_exception(), "Error in {} handler", name);
    }
  }

  asio::awaitable<void> deliver(SubEvent& ev) {
    auto& sub = *ev.sub;
    if (auto* c = std::get_if<SubscribedContext>(&ev.ctx)) {
      co_await invoke(sub.events.on_subscribed, *c, "on_subscribed");
    } else if (auto* c = std::get_if<SubscriptionErrorContext>(&ev.ctx)) {
      co_await invoke(sub.events.on_error, *c, "subscription on_error");
    } else if (auto* c = std::get_if<SubscribingContext>(&ev.ctx)) {
      co_await invoke(sub.events.on_subscribing, *c, "on_subscribing");
    } else if (auto* c = std::get_if<UnsubscribedContext>(&ev.ctx)) {
      co_await invoke(sub.events.on_unsubscribed, *c, "on_unsubscribed");
    } else if (auto* c = std::get_if<JoinContext>(&ev.ctx)) {
      if (sub.state != SubscriptionState::UNSUBSCRIBED)
        co_await invoke(sub.events.on_join, *c, "on_join");
    } else if (auto* c = std::get_if<LeaveContext>(&ev.ctx)) {
      if (sub.state != SubscriptionState::UNSUBSCRIBED)
        co_await invoke(sub.events.on_leave, *c, "on_leave");
    }
  }

  asio::awaitable<void> deliver(Event& ev) {
    if (auto* c = std::get_if<ConnectedContext>(&ev)) {
      co_await invoke(events.on_connected, *c, "on_connected");
    } else if (auto* c = std::get_if<DisconnectedContext>(&ev)) {
      co_await invoke(events.on_disconnected, *c, "on_disconnected");
    } else if (auto* c = std::get_if<ErrorContext>(&ev)) {
      co_await invoke(events.on_error, *c, "on_error");
    } else if (auto* c = std::get_if<ConnectingContext>(&ev)) {
      co_await invoke(events.on_connecting, *c, "on_connecting");
    } else if (auto* c = std::get_if<MessageContext>(&ev)) {
      co_await invoke(events.on_message, *c, "on_message");
    } else if (auto* s = std::get_if<SubEvent>(&ev)) {
      co_await deliver(*s);
    } else if (auto* e = std::get_if<ServerEvent>(&ev)) {
      if (auto* c = std::get_if<PublicationContext>(&e->ctx)) {
        co_await invoke(events.on_server_publication, *c, "on_server_publication");
      } else if (auto* c = std::get_if<SubscribedContext>(&e->ctx)) {
        co_await invoke(events.on_server_subscribed, *c, "on_server_subscribed");
      } else if (auto* c = std::get_if<UnsubscribedContext>(&e->ctx)) {
        co_await invoke(events.on_server_unsubscribed, *c, "on_server_unsubscribed");
      }
    }
  }

  // One event after the other, each awaited; ends when the queue is empty.
  static asio::awaitable<void> dispatch(std::shared_ptr<Core> self) {
    auto& q = self->queue;
    while (!q.empty() && !self->shut) {
      Event ev = std::move(q.front());
      q.pop_front();
      if (self->reader_paused && q.size() <= self->options.max_queued_events / 2) {
        self->drained.cancel();
      }
      // Publications are the hot path: no variant walk beyond this test.
      if (auto* s = std::get_if<SubEvent>(&ev)) {
        if (auto* pc = std::get_if<PublicationContext>(&s->ctx)) {
          auto& sub = *s->sub;
          if (sub.state != SubscriptionState::UNSUBSCRIBED && sub.events.on_publication) {
            try {
              co_await sub.events.on_publication(*pc);
            } catch (...) {
              log().exception(std::current_exception(), "Error in on_publication handler for {}",
                              sub.channel);
            }
          }
          continue;
        }
      }
      co_await self->deliver(ev);
    }
    self->dispatching = false;
    if (self->reader_paused) self->drained.cancel();
  }

  void emit_error(std::string type, std::uint32_t code, std::string message, bool temporary) {
    enqueue(ErrorContext{std::move(type), code, std::move(message), temporary});
  }

  void wake_ready_waiters() {
    for (auto& t : ready_waiters) t->cancel();
    ready_waiters.clear();
  }

  // ----- writing --------------------------------------------------------------------

  void send(const ConnPtr& c, std::string_view text) {
    if (c->closed || c->close_frame) return;
    if (!c->out.empty()) c->out.push_back('\n');
    c->out.append(text);
    start_writer(c);
  }

  void start_writer(const ConnPtr& c) {
    if (c->write_active || !c->transport) return;
    c->write_active = true;
    asio::co_spawn(ex, write_loop(shared_from_this(), c), asio::detached);
  }

  // Everything queued goes out as one frame; writes never overlap.
  static asio::awaitable<void> write_loop(std::shared_ptr<Core> self, ConnPtr c) {
    try {
      while (!c->out.empty() && !c->closed) {
        c->writing.clear();
        std::swap(c->writing, c->out);
        co_await c->transport->write(c->writing);
      }
      if (c->close_frame && !c->closed) {
        auto [code, reason] = *c->close_frame;
        co_await c->transport->close(code, reason);
      }
    } catch (const std::exception& e) {
      log().debug("Write failed: {}", e.what());
      c->set_reason(codes::TRANSPORT_CLOSED, "transport closed");
      c->transport->abort();
    }
    c->write_active = false;
    (void)self;
  }

  // ----- commands -------------------------------------------------------------------

  asio::awaitable<Reply> call(ConnPtr c, const char* method, const json::object& params,
                              std::function<void(Reply&)> on_reply = {}) {
    auto self = shared_from_this();
    auto p = std::make_shared<Pending>(ex);
    const auto id = next_id++;
    p->conn = c->serial;
    p->method = method;
    p->on_reply = std::move(on_reply);
    if (c->closed) co_return Reply{};
    pending.emplace(id, p);
    send(c, fmt::format("{{\"id\":{},\"{}\":{}}}", id, method, json::serialize(params)));
    p->timer.expires_after(options.timeout);
    boost::system::error_code ec;
    co_await p->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    pending.erase(id);
    if (p->finished) co_return std::move(p->reply);
    Reply r;
    r.outcome = c->closed ? Reply::CLOSED : Reply::TIMEOUT;
    co_return r;
  }

  void handle_reply(const ConnPtr& c, std::uint64_t id, json::object& o) {
    auto it = pending.find(static_cast<std::uint32_t>(id));
    if (it == pending.end() || it->second->conn != c->serial) {
      log().warning("Reply to unknown command {} ignored", id);
      return;
    }
    auto& p = *it->second;
    if (const auto* err = object_at(o, "error")) {
      p.reply.outcome = Reply::ERROR;
      p.reply.code = static_cast<std::uint32_t>(uint_at(*err, "code"));
      p.reply.message = string_at(*err, "message");
      p.reply.temporary = bool_at(*err, "temporary");
    } else {
      p.reply.outcome = Reply::OK;
      if (auto* res = object_at(o, p.method)) p.reply.result = std::move(*res);
    }
    p.finished = true;
    p.timer.cancel();
    if (p.on_reply) {
      auto apply = std::move(p.on_reply);
      apply(p.reply);
    }
  }

  // ----- reading --------------------------------------------------------------------

  void handle_frame(const ConnPtr& c, std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      while (p < end && (*p == '\n' || *p == '\r' || *p == ' ' || *p == '\t')) ++p;
      if (p >= end) break;
      // One small arena per message: few allocations, and a payload a handler keeps holds
      // on to its own message only.
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
      const auto length = std::size_t((nl ? nl : end) - p);
      boost::system::error_code ec;
      json::value v = platform::parse_json(
          std::string_view(p, length), ec,
          json::make_shared_resource<json::monotonic_resource>(
              std::clamp<std::size_t>(length + length / 2, 256, 64 * 1024)));
      const std::string_view message(p, length);
      p += length;
      if (ec) {
        log().error("Malformed message skipped ({}): {}", ec.message(), excerpt(message));
        continue;
      }
      handle_message(c, v);
      if (c->closed) return;
    }
  }

  void handle_message(const ConnPtr& c, json::value& v) {
    if (!v.is_object()) {
      log().warning("Unexpected message skipped: {}", excerpt(json::serialize(v)));
      return;
    }
    auto& o = v.get_object();
    if (o.empty()) {  // the server's ping
      if (c->pong) send(c, "{}");
      return;
    }
    // Pushes first: publications are nearly all of the traffic.
    if (o.size() == 1) {
      if (auto* push = object_at(o, "push")) {
        handle_push(c, *push);
        return;
      }
    }
    if (const auto id = uint_at(o, "id"); id > 0) {
      handle_reply(c, id, o);
      return;
    }
    if (auto* push = object_at(o, "push")) {
      handle_push(c, *push);
      return;
    }
    log().warning("Unknown message skipped: {}", excerpt(json::serialize(v)));
  }

  SubCorePtr find_sub(std::string_view channel) const {
    auto it = subs.find(channel);
    return it == subs.end() ? nullptr : it->second;
  }

  void handle_push(const ConnPtr& c, json::object& push) {
    const auto* chv = push.if_contains("channel");
    std::string_view channel =
        chv && chv->is_string() ? std::string_view(chv->get_string()) : std::string_view();
    if (auto* pubv = push.if_contains("pub")) {
      if (!pubv->is_object()) {
        log().warning("Malformed publication on {} skipped", channel);
        return;
      }
      auto sub = find_sub(channel);
      if (sub && sub->state != SubscriptionState::UNSUBSCRIBED) {
        auto ctx = publication(sub->channel, pubv->get_object());
        if (!advance(sub->position, *ctx.pub)) {
          log().debug("Publication {} on {} already delivered", ctx.pub->offset, channel);
          return;
        }
        emit_sub(sub, std::move(ctx));
        return;
      }
      if (auto it = server_subs.find(channel); it != server_subs.end()) {
        auto ctx = publication(it->first, pubv->get_object());
        if (advance(it->second, *ctx.pub)) enqueue(ServerEvent{std::move(ctx)});
        return;
      }
      log().debug("Publication on {} without a subscription dropped", channel);
      return;
    }
    if (const auto* join = object_at(push, "join")) {
      if (auto sub = find_sub(channel)) {
        const auto* info = object_at(*join, "info");
        emit_sub(sub, JoinContext{sub->channel, info ? client_info(*info) : ClientInfo{}});
      }
      return;
    }
    if (const auto* leave = object_at(push, "leave")) {
      if (auto sub = find_sub(channel)) {
        const auto* info = object_at(*leave, "info");
        emit_sub(sub, LeaveContext{sub->channel, info ? client_info(*info) : ClientInfo{}});
      }
      return;
    }
    if (const auto* unsub = object_at(push, "unsubscribe")) {
      if (auto sub = find_sub(channel); sub && sub->state != SubscriptionState::UNSUBSCRIBED) {
        server_unsubscribe(c, channel, *unsub);
      } else if (auto it = server_subs.find(channel); it != server_subs.end()) {
        const auto code = static_cast<std::uint32_t>(uint_at(*unsub, "code"));
        auto reason = string_at(*unsub, "reason");
        log().info("Server-side subscription to {} ended: {} {}", channel, code, reason);
        UnsubscribedContext ctx{it->first, code, std::move(reason)};
        server_subs.erase(it);
        enqueue(ServerEvent{std::move(ctx)});
      }
      return;
    }
    if (auto* sub = object_at(push, "subscribe")) {
      std::string name(channel);
      if (name.empty()) return;
      log().info("Server-side subscription to {}", name);
      server_subscribed(name, *sub, false);
      return;
    }
    if (const auto* disc = object_at(push, "disconnect")) {
      const auto code = static_cast<std::uint32_t>(uint_at(*disc, "code"));
      auto reason = string_at(*disc, "reason");
      log().info("Server disconnect: {} {}", code, reason);
      c->set_reason(code, std::move(reason));
      c->transport->abort();
      return;
    }
    if (auto* msg = push.if_contains("message")) {
      json::value data;
      if (msg->is_object()) {
        if (auto* d = msg->get_object().if_contains("data")) data = std::move(*d);
      }
      enqueue(MessageContext{std::move(data)});
      return;
    }
    if (push.contains("connect") || push.contains("refresh")) {
      log().debug("Server-side push ignored on '{}'", channel);
      return;
    }
    log().warning("Unknown push skipped: {}", excerpt(json::serialize(push)));
  }

  static PublicationContext publication(const std::string& channel, json::object& po) {
    PublicationContext ctx;
    ctx.channel = channel;
    auto& pub = ctx.pub.emplace();
    for (auto& [key, v] : po) {  // one pass over the members instead of a lookup each
      if (key == "data") {
        ctx.data = std::move(v);
      } else if (key == "offset") {
        pub.offset = v.is_uint64()                       ? v.get_uint64()
                     : v.is_int64() && v.get_int64() > 0 ? std::uint64_t(v.get_int64())
                                                         : 0;
      } else if (key == "info" && v.is_object()) {
        pub.info = client_info(v.get_object());
      } else if (key == "tags" && v.is_object()) {
        for (const auto& [k, t] : v.get_object()) {
          if (t.is_string()) pub.tags.emplace(std::string(k), std::string(t.get_string()));
        }
      } else if (key == "time") {
        pub.time = v.is_int64() ? v.get_int64() : v.is_uint64() ? std::int64_t(v.get_uint64()) : 0;
      }
    }
    return ctx;
  }

  void server_unsubscribe(const ConnPtr& c, std::string_view channel, const json::object& u) {
    auto sub = find_sub(channel);
    if (!sub || sub->state == SubscriptionState::UNSUBSCRIBED) return;
    const auto code = static_cast<std::uint32_t>(uint_at(u, "code"));
    auto reason = string_at(u, "reason");
    if (code >= 2500 && code < 3000) {  // the server asks for a fresh subscription
      log().info("Server resubscribe advice on {}: {} {}", sub->channel, code, reason);
      sub->state = SubscriptionState::SUBSCRIBING;
      sub->resubscribing = true;
      sub->sent_on = 0;
      ++sub->generation;  // the earlier subscribe's reply, if still due, no longer counts
      emit_sub(sub, SubscribingContext{sub->channel, code, reason});
      asio::co_spawn(ex, subscribe_quietly(shared_from_this(), sub, c), asio::detached);
      return;
    }
    log().info("Unsubscribed by the server from {}: {} {}", sub->channel, code, reason);
    sub->state = SubscriptionState::UNSUBSCRIBED;
    ++sub->generation;
    emit_sub(sub, UnsubscribedContext{sub->channel, code, std::move(reason)});
    detach(sub);
  }

  // An unsubscribed subscription is forgotten: a client that subscribes and unsubscribes
  // ever new channels keeps its size. Its handle can still subscribe again.
  void detach(const SubCorePtr& sub) {
    if (!sub->attached) return;
    sub->attached = false;
    if (auto it = subs.find(sub->channel); it != subs.end() && it->second == sub) subs.erase(it);
    std::erase(sub_order, sub);
  }

  void detach_all() {
    auto all = sub_order;
    for (auto& sub : all) {
      if (sub->state == SubscriptionState::UNSUBSCRIBED) detach(sub);
    }
  }

  // The subscribed event and the publications of a subscribe result, which may carry the
  // publications missed since `pos`. Moves `pos` to the end of what it delivers.
  static std::vector<PublicationContext> take_result(const std::string& channel, Position& pos,
                                                     json::object& result, bool recovering,
                                                     SubscribedContext& ctx) {
    ctx.channel = channel;
    ctx.recoverable = bool_at(result, "recoverable");
    ctx.positioned = bool_at(result, "positioned");
    ctx.offset = uint_at(result, "offset");
    ctx.epoch = string_at(result, "epoch");
    ctx.data = value_at(result, "data");
    ctx.was_recovering = recovering || pos.lost;
    // Recovered only when the stream is the one we were in.
    ctx.recovered = recovering && !pos.lost && bool_at(result, "recovered") &&
                    (pos.epoch.empty() || ctx.epoch == pos.epoch);
    Position next;
    next.recoverable = ctx.recoverable;
    next.epoch = ctx.epoch;
    next.offset = ctx.recovered ? pos.offset : 0;
    std::vector<PublicationContext> out;
    if (auto* pubs = result.if_contains("publications"); pubs && pubs->is_array()) {
      for (auto& p : pubs->get_array()) {
        if (!p.is_object()) continue;
        auto pc = publication(channel, p.get_object());
        if (ctx.recovered && !advance(next, *pc.pub)) continue;
        next.offset = std::max(next.offset, pc.pub->offset);
        out.push_back(std::move(pc));
      }
    }
    next.offset = std::max(next.offset, ctx.offset);
    ctx.recovered_publications = ctx.recovered ? out.size() : 0;
    pos = std::move(next);
    return out;
  }

  void server_subscribed(const std::string& channel, json::object& result, bool recovering) {
    auto& pos = server_subs[channel];
    SubscribedContext ctx;
    auto pubs = take_result(channel, pos, result, recovering, ctx);
    ctx.was_resubscribed = recovering;
    enqueue(ServerEvent{std::move(ctx)});
    for (auto& pc : pubs) enqueue(ServerEvent{std::move(pc)});
  }

  // The connect reply's server-side subscriptions; those it no longer holds have ended.
  void apply_server_subs(json::object& result, const std::set<std::string>& asked) {
    std::set<std::string> held;
    if (auto* list = object_at(result, "subs")) {
      for (auto& [name, v] : *list) {
        if (!v.is_object()) continue;
        std::string channel(name);
        const bool recovering = asked.contains(channel) && server_subs[channel].recoverable;
        log().info("Server-side subscription to {}", channel);
        server_subscribed(channel, v.get_object(), recovering);
        held.insert(std::move(channel));
      }
    }
    for (auto it = server_subs.begin(); it != server_subs.end();) {
      if (held.contains(it->first)) {
        ++it;
        continue;
      }
      log().warning("Server-side subscription to {} not renewed by the server", it->first);
      enqueue(ServerEvent{UnsubscribedContext{it->first, 0, "not renewed on connect"}});
      it = server_subs.erase(it);
    }
  }

  static asio::awaitable<void> read_loop(std::shared_ptr<Core> self, ConnPtr c) {
    try {
      for (;;) {
        auto text = co_await c->transport->read();
        c->last_received = Clock::now();
        self->handle_frame(c, text);
        if (c->closed) break;
        if (self->queue.size() >= self->options.max_queued_events && !self->shut) {
          // The handlers are behind: stop reading until they catch up.
          self->reader_paused = true;
          self->drained.expires_at(Clock::time_point::max());
          boost::system::error_code ec;
          co_await self->drained.async_wait(asio::redirect_error(asio::use_awaitable, ec));
          self->reader_paused = false;
        }
      }
    } catch (const boost::system::system_error& e) {
      const auto& peer = c->transport->peer_close();
      if (peer.received) {
        c->set_reason(peer.code, peer.reason);
      } else {
        c->set_reason(codes::TRANSPORT_CLOSED, "transport closed: " + e.code().message());
      }
    } catch (const std::exception& e) {
      log().exception(std::current_exception(), "Connection failed");
      c->set_reason(codes::BAD_PROTOCOL, e.what());
    }
    self->finish(c);
  }

  // The connection has ended: fail its commands, wake its waiters.
  void finish(const ConnPtr& c) {
    if (c->closed) return;
    c->closed = true;
    if (c->transport) c->transport->abort();
    for (auto& [id, p] : pending) {
      if (p->conn == c->serial) p->timer.cancel();
    }
    if (c->ping_timer) c->ping_timer->cancel();
    if (c->refresh_timer) c->refresh_timer->cancel();
    for (auto& w : c->waiters) w->cancel();
    if (conn == c) conn.reset();
  }

  // Drops a connection that is no longer healthy; the connect loop decides what follows.
  void drop(const ConnPtr& c, std::uint32_t code, std::string reason) {
    if (c->closed) return;
    log().warning("Closing the connection: {} ({})", reason, code);
    c->set_reason(code, std::move(reason));
    if (c->transport) c->transport->abort();
  }

  static asio::awaitable<void> watch_pings(std::shared_ptr<Core> self, ConnPtr c) {
    const auto window = std::chrono::seconds(c->ping_seconds) + self->options.max_server_ping_delay;
    auto timer = c->ping_timer;
    while (!c->closed) {
      const auto due = c->last_received + window;
      if (Clock::now() >= due) {
        self->drop(c, codes::NO_PING, "no ping");
        break;
      }
      timer->expires_at(due);
      boost::system::error_code ec;
      co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  static asio::awaitable<void> wait_done(ConnPtr c, std::optional<milliseconds> limit) {
    if (c->closed) co_return;
    auto t = std::make_shared<asio::steady_timer>(c->ex);
    t->expires_at(limit ? Clock::now() + *limit : Clock::time_point::max());
    c->waiters.push_back(t);
    boost::system::error_code ec;
    co_await t->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    std::erase(c->waiters, t);
  }

  // ----- connecting -----------------------------------------------------------------

  milliseconds next_delay() {
    const auto min = std::max<std::int64_t>(1, options.min_reconnect_delay.count());
    const auto max = std::max<std::int64_t>(min, options.max_reconnect_delay.count());
    const unsigned shift = std::min(attempts, 20u);
    const std::int64_t base = std::min<std::int64_t>(max, min << shift);
    ++attempts;
    std::uniform_int_distribution<std::int64_t> jitter(base / 2, base);
    return milliseconds(jitter(rng));
  }

  static asio::awaitable<void> run(std::shared_ptr<Core> self, std::uint64_t serial) {
    auto alive = [&] {
      return !self->shut && self->state != ClientState::DISCONNECTED && self->run_serial == serial;
    };
    while (alive()) {
      try {
        co_await self->attempt(serial);
      } catch (...) {
        log().exception(std::current_exception(), "Connection attempt failed");
      }
      if (!alive()) break;
      const auto delay = self->next_delay();
      log().info("Reconnecting to {} in {} ms (attempt {})", self->address, delay.count(),
                 self->attempts);
      self->backoff.expires_after(delay);
      boost::system::error_code ec;
      co_await self->backoff.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  // Terminal end of connecting: the server refused us and we must not come back.
  void give_up(std::uint32_t code, std::string reason) {
    state = ClientState::DISCONNECTED;
    ++run_serial;
    for (auto& sub : sub_order) {
      if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
      sub->state = SubscriptionState::UNSUBSCRIBED;
      ++sub->generation;
      emit_sub(sub, UnsubscribedContext{sub->channel, code, reason});
    }
    detach_all();
    for (const auto& [channel, pos] : server_subs) {
      enqueue(ServerEvent{UnsubscribedContext{channel, code, reason}});
    }
    server_subs.clear();
    enqueue(DisconnectedContext{code, std::move(reason), false});
    wake_ready_waiters();
  }

  // The token as the application holds it now.
  std::string current_token() const {
    return options.get_token ? options.get_token() : options.token;
  }

  // Refreshes ahead of the expiry: half the lifetime when it is short, 5 s before otherwise.
  static milliseconds refresh_delay(std::uint32_t ttl_seconds) {
    const auto ttl = milliseconds(std::int64_t(ttl_seconds) * 1000);
    const auto delay = ttl > std::chrono::seconds(10) ? ttl - std::chrono::seconds(5) : ttl / 2;
    return std::max(delay, milliseconds(100));
  }

  static asio::awaitable<void> refresh_loop(std::shared_ptr<Core> self, ConnPtr c,
                                            std::uint32_t ttl) {
    auto timer = c->refresh_timer;
    auto delay = refresh_delay(ttl);
    while (!c->closed && !self->shut) {
      timer->expires_after(delay);
      boost::system::error_code ec;
      co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (c->closed || self->shut) co_return;
      json::object params;
      try {
        params["token"] = self->current_token();
      } catch (const std::exception& e) {
        log().error("Token for the refresh not available: {}", e.what());
        self->emit_error("refresh", 0, e.what(), true);
        delay = std::chrono::seconds(5);
        continue;
      }
      Reply r = co_await self->call(c, "refresh", params);
      if (c->closed || self->shut) co_return;
      if (r.outcome == Reply::OK) {
        if (!bool_at(r.result, "expires")) co_return;
        ttl = static_cast<std::uint32_t>(uint_at(r.result, "ttl"));
        log().debug("Connection token refreshed; {} s left", ttl);
        delay = refresh_delay(ttl);
        continue;
      }
      if (r.outcome == Reply::TIMEOUT) {
        self->emit_error("timeout", 0, "refresh reply timed out", true);
        self->drop(c, codes::COMMAND_TIMEOUT, "refresh timeout");
        co_return;
      }
      if (r.outcome == Reply::ERROR && r.temporary) {
        log().warning("Token refresh refused for now: {} {}", r.code, r.message);
        self->emit_error("refresh", r.code, r.message, true);
        delay = std::chrono::seconds(2);
        continue;
      }
      if (r.outcome == Reply::ERROR) {
        // "token expired" and the like: a new connection with the token the
        // application holds then, rather than a stream that ends at the expiry.
        log().warning("Token refresh refused: {} {}; reconnecting", r.code, r.message);
        self->emit_error("refresh", r.code, r.message, false);
        self->drop(c, r.code, r.message);
      }
      co_return;
    }
  }

  void connected(const ConnPtr& c, const json::object& result) {
    c->ping_seconds = static_cast<std::uint32_t>(uint_at(result, "ping"));
    c->pong = bool_at(result, "pong");
    state = ClientState::CONNECTED;
    attempts = 0;
    ConnectedContext ctx;
    ctx.client = string_at(result, "client");
    ctx.version = string_at(result, "version");
    ctx.data = value_at(result, "data");
    ctx.expires = bool_at(result, "expires");
    ctx.ttl = static_cast<std::uint32_t>(uint_at(result, "ttl"));
    log().info("Connected to {} (client {}, ping {} s{})", address, ctx.client, c->ping_seconds,
               ctx.expires ? fmt::format(", token expires in {} s", ctx.ttl) : "");
    if (ctx.expires) {
      c->refresh_timer = std::make_shared<asio::steady_timer>(ex);
      asio::co_spawn(ex, refresh_loop(shared_from_this(), c, ctx.ttl), asio::detached);
    }
    enqueue(std::move(ctx));
    wake_ready_waiters();
  }

  asio::awaitable<void> attempt(std::uint64_t serial) {
    auto self = shared_from_this();
    // Before anything else: a failing token source is a failed attempt, retried later.
    const std::string token = current_token();
    auto c = std::make_shared<Conn>(ex);
    c->serial = ++conn_serial;
    conn = c;
    // Named arguments: g++ 12 mishandles temporaries inside a co_await expression.
    const detail::TlsOptions tls{options.tls_verify, options.tls_ca_pem};
    std::string user_agent = options.name + "/" + options.version;
    try {
      c->transport = co_await detail::open_transport(endpoint, options.headers, tls,
                                                     options.timeout, std::move(user_agent));
    } catch (const std::exception& e) {
      c->closed = true;
      if (conn == c) conn.reset();
      if (shut || run_serial != serial) co_return;
      log().warning("Connection to {} failed: {}", address, e.what());
      emit_error("transport", 0, e.what(), true);
      co_return;
    }
    if (shut || run_serial != serial || conn != c) {
      c->closed = true;
      c->transport->abort();
      co_return;
    }
    c->last_received = Clock::now();
    asio::co_spawn(ex, read_loop(self, c), asio::detached);

    json::object params;
    if (!token.empty()) params["token"] = token;
    params["name"] = options.name;
    params["version"] = options.version;
    std::set<std::string> asked;
    if (!server_subs.empty()) {
      json::object subs_params;
      for (const auto& [channel, pos] : server_subs) {
        json::object one;
        add_recovery(one, pos);
        subs_params[channel] = std::move(one);
        asked.insert(channel);
      }
      params["subs"] = std::move(subs_params);
    }
    // Taken as the reply is read: server-side publications may follow it in its frame.
    auto on_reply = [this, serial, asked, c](Reply& reply) {
      if (shut || run_serial != serial || reply.outcome != Reply::OK) return;
      connected(c, reply.result);
      apply_server_subs(reply.result, asked);
    };
    Reply r = co_await call(c, "connect", params, on_reply);
    if (shut || run_serial != serial) co_return;

    if (r.outcome == Reply::TIMEOUT) {
      emit_error("timeout", 0, "connect reply timed out", true);
      drop(c, codes::COMMAND_TIMEOUT, "connect timeout");
      co_await wait_done(c, std::nullopt);
      co_return;
    }
    if (r.outcome == Reply::CLOSED) {
      co_await wait_done(c, std::nullopt);
      if (shut || run_serial != serial) co_return;
      const auto code = c->reason.code;
      if (is_terminal_disconnect(code)) {
        log().error("Connection refused by the server: {} {}", code, c->reason.reason);
        emit_error("connect", code, c->reason.reason, false);
        give_up(code, c->reason.reason);
      } else {
        log().warning("Connection closed during the handshake: {} {}", code, c->reason.reason);
        emit_error("transport", code, c->reason.reason, true);
      }
      co_return;
    }
    if (r.outcome == Reply::ERROR) {
      if (r.temporary || r.code == codes::TOKEN_EXPIRED) {
        log().warning("Connect refused for now: {} {}", r.code, r.message);
        emit_error("connect", r.code, r.message, true);
        drop(c, codes::TRANSPORT_CLOSED, "temporary connect error");
        co_await wait_done(c, std::nullopt);
        co_return;
      }
      log().error("Connect refused: {} {}", r.code, r.message);
      emit_error("connect", r.code, r.message, false);
      c->set_reason(r.code, r.message);
      c->close_frame.emplace(static_cast<std::uint16_t>(1000), "connect refused");
      start_writer(c);
      give_up(r.code, r.message);
      co_await wait_done(c, options.timeout);
      finish(c);
      co_return;
    }

    // Connected: the reply has been taken by connected().
    if (c->ping_seconds > 0) {
      c->ping_timer = std::make_shared<asio::steady_timer>(ex);
      asio::co_spawn(ex, watch_pings(self, c), asio::detached);
    }
    for (auto& sub : sub_order) {
      if (sub->state == SubscriptionState::SUBSCRIBING) {
        asio::co_spawn(ex, subscribe_quietly(self, sub, c), asio::detached);
      }
    }

    co_await wait_done(c, std::nullopt);
    if (shut || run_serial != serial || state == ClientState::DISCONNECTED) co_return;

    // Lost: come back unless the server said not to.
    const auto code = c->reason.code;
    const bool terminal = is_terminal_disconnect(code);
    log().info("Disconnected from {}: {} {}{}", address, code, c->reason.reason,
               terminal ? "" : "; reconnecting");
    if (terminal) {
      give_up(code, c->reason.reason);
      co_return;
    }
    state = ClientState::CONNECTING;
    for (auto& sub : sub_order) {
      if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
      sub->state = SubscriptionState::SUBSCRIBING;
      sub->resubscribing = true;
      sub->sent_on = 0;
      emit_sub(sub, SubscribingContext{sub->channel, code, c->reason.reason});
    }
    enqueue(DisconnectedContext{code, c->reason.reason, true});
    enqueue(ConnectingContext{code, c->reason.reason});
  }

  // ----- subscriptions --------------------------------------------------------------

  static asio::awaitable<void> subscribe_quietly(std::shared_ptr<Core> self, SubCorePtr sub,
                                                 ConnPtr c) {
    try {
      co_await self->send_subscribe(sub, c);
    } catch (const ReplyError& e) {
      log().error("{}", e.what());
    } catch (...) {
      log().exception(std::current_exception(), "Subscribing {} failed", sub->channel);
    }
  }

  asio::awaitable<void> send_subscribe(SubCorePtr sub, ConnPtr c) {
    auto self = shared_from_this();
    if (c->closed || sub->sent_on == c->serial) co_return;
    sub->sent_on = c->serial;
    const auto gen = sub->generation;
    json::object params;
    params["channel"] = sub->channel;
    const bool recovering = sub->resubscribing && add_recovery(params, sub->position);
    // Taken as the reply is read: the recovered publications go ahead of the live ones that
    // follow the reply in its frame.
    auto on_reply = [this, sub, gen, recovering](Reply& reply) {
      if (shut || sub->generation != gen || sub->state != SubscriptionState::SUBSCRIBING) return;
      if (reply.outcome == Reply::OK ||
          (reply.outcome == Reply::ERROR && reply.code == kAlreadySubscribed)) {
        subscribed(sub, reply.result, recovering);
      }
    };
    Reply r = co_await call(c, "subscribe", params, on_reply);
    if (shut || sub->generation != gen || sub->state != SubscriptionState::SUBSCRIBING) co_return;
    switch (r.outcome) {
      case Reply::CLOSED:
        sub->sent_on = 0;  // goes out again on the next connection
        co_return;
      case Reply::TIMEOUT:
        sub->sent_on = 0;
        emit_sub(sub, SubscriptionErrorContext{sub->channel, "timeout", 0,
                                               "subscribe reply timed out", true});
        drop(c, codes::COMMAND_TIMEOUT, "subscribe timeout");
        co_return;
      case Reply::ERROR:
        if (r.code == codes::UNRECOVERABLE_POSITION && recovering) {
          // The position is gone for good: subscribe afresh and report the gap.
          log().warning("Position on {} not recoverable: {} {}", sub->channel, r.code, r.message);
          sub->position = Position{};
          sub->position.lost = true;
          sub->sent_on = 0;
          asio::co_spawn(ex, subscribe_quietly(self, sub, c), asio::detached);
          co_return;
        }
        emit_sub(sub, SubscriptionErrorContext{sub->channel, "subscribe", r.code, r.message,
                                               r.temporary});
        if (r.temporary) {
          sub->sent_on = 0;
          schedule_retry(sub, c);
          co_return;
        }
        sub->state = SubscriptionState::UNSUBSCRIBED;
        ++sub->generation;
        emit_sub(sub, UnsubscribedContext{sub->channel, r.code, r.message});
        detach(sub);
        throw ReplyError(
            fmt::format("Subscribe to {} refused: {} {}", sub->channel, r.code, r.message), r.code,
            r.temporary);
      case Reply::OK:
        break;
    }
  }

  void subscribed(const SubCorePtr& sub, json::object& result, bool recovering) {
    sub->state = SubscriptionState::SUBSCRIBED;
    SubscribedContext ctx;
    auto pubs = take_result(sub->channel, sub->position, result, recovering, ctx);
    ctx.was_resubscribed = sub->resubscribing;
    sub->resubscribing = false;
    if (ctx.was_recovering && !ctx.recovered) {
      log().warning("Publications on {} missed while away are not recoverable", sub->channel);
    } else if (ctx.recovered && !pubs.empty()) {
      log().info("Recovered {} publications on {}", pubs.size(), sub->channel);
    }
    emit_sub(sub, std::move(ctx));
    for (auto& pc : pubs) emit_sub(sub, std::move(pc));
  }

  void schedule_retry(const SubCorePtr& sub, const ConnPtr& c) {
    if (!sub->retry) sub->retry = std::make_shared<asio::steady_timer>(ex);
    const auto delay = std::max(options.min_reconnect_delay, milliseconds(10));
    sub->retry->expires_after(delay);
    asio::co_spawn(ex, retry_later(shared_from_this(), sub, c, sub->generation), asio::detached);
  }

  static asio::awaitable<void> retry_later(std::shared_ptr<Core> self, SubCorePtr sub, ConnPtr c,
                                           std::uint64_t gen) {
    boost::system::error_code ec;
    auto timer = sub->retry;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec || self->shut || sub->generation != gen ||
        sub->state != SubscriptionState::SUBSCRIBING || c->closed) {
      co_return;
    }
    co_await subscribe_quietly(self, sub, c);
  }

  asio::awaitable<void> send_unsubscribe(SubCorePtr sub, ConnPtr c) {
    auto self = shared_from_this();
    json::object params;
    params["channel"] = sub->channel;
    Reply r = co_await call(c, "unsubscribe", params);
    if (r.outcome == Reply::TIMEOUT) {
      drop(c, codes::COMMAND_TIMEOUT, "unsubscribe timeout");
    } else if (r.outcome == Reply::ERROR) {
      // The server's view of this channel is now unknown: a fresh connection settles it.
      log().warning("Unsubscribe from {} failed: {} {}", sub->channel, r.code, r.message);
      drop(c, codes::TRANSPORT_CLOSED, "unsubscribe failed");
    }
  }

  // ----- shutting down --------------------------------------------------------------

  asio::awaitable<void> disconnect() {
    auto self = shared_from_this();
    const bool was = state != ClientState::DISCONNECTED;
    state = ClientState::DISCONNECTED;
    ++run_serial;
    backoff.cancel();
    wake_ready_waiters();
    for (auto& sub : sub_order) {
      if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
      sub->state = SubscriptionState::UNSUBSCRIBED;
      ++sub->generation;
      if (sub->retry) sub->retry->cancel();
      emit_sub(sub,
               UnsubscribedContext{sub->channel, codes::DISCONNECT_CALLED, "client disconnected"});
    }
    detach_all();
    server_subs.clear();
    auto c = conn;
    conn.reset();
    if (c && !c->closed && c->transport) {
      c->set_reason(codes::DISCONNECT_CALLED, "disconnect called");
      c->close_frame.emplace(static_cast<std::uint16_t>(1000), "disconnect called");
      start_writer(c);
      co_await wait_done(c, options.timeout);
      finish(c);
    }
    if (was) {
      log().info("Disconnected from {} by the client", address);
      enqueue(DisconnectedContext{codes::DISCONNECT_CALLED, "disconnect called", false});
    }
  }

  void shutdown() noexcept {
    shut = true;
    state = ClientState::DISCONNECTED;
    ++run_serial;
    queue.clear();
    boost::system::error_code ec;
    backoff.cancel();
    drained.cancel();
    wake_ready_waiters();
    for (auto& sub : sub_order) {
      sub->state = SubscriptionState::UNSUBSCRIBED;
      ++sub->generation;
      if (sub->retry) sub->retry->cancel();
    }
    if (conn) {
      auto c = conn;
      c->set_reason(codes::CLIENT_CLOSED, "client closed");
      finish(c);
    }
  }
};

// ---------------------------------------------------------------------------------------
// Client

Client::Client(Tag, std::shared_ptr<Core> core) : core_(std::move(core)) {}

std::shared_ptr<Client> Client::create(asio::any_io_executor executor, std::string address,
                                       ClientEventHandler events, ClientOptions options) {
  auto endpoint = detail::parse_address(address);
  auto core = std::make_shared<Core>(std::move(executor), std::move(address), std::move(endpoint),
                                     std::move(events), std::move(options));
  return std::make_shared<Client>(Tag{}, std::move(core));
}

Client::~Client() { core_->shutdown(); }

asio::awaitable<void> Client::connect() {
  auto& core = *core_;
  if (core.shut) throw RuntimeError("Client is closed");
  if (core.state != ClientState::DISCONNECTED) co_return;
  core.state = ClientState::CONNECTING;
  core.attempts = 0;
  const auto serial = ++core.run_serial;
  log().info("Connecting to {}", core.address);
  core.enqueue(ConnectingContext{codes::CONNECT_CALLED, "connect called"});
  asio::co_spawn(core.ex, Core::run(core_, serial), asio::detached);
  co_return;
}

asio::awaitable<void> Client::disconnect() { co_await core_->disconnect(); }

asio::awaitable<void> Client::ready(milliseconds timeout) {
  auto core = core_;
  if (core->state == ClientState::CONNECTED) co_return;
  if (core->state == ClientState::DISCONNECTED) throw RuntimeError("Client is disconnected");
  auto timer = std::make_shared<asio::steady_timer>(core->ex);
  timer->expires_after(timeout);
  core->ready_waiters.push_back(timer);
  boost::system::error_code ec;
  co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  std::erase(core->ready_waiters, timer);
  if (core->state == ClientState::CONNECTED) co_return;
  if (core->state == ClientState::DISCONNECTED) throw RuntimeError("Client is disconnected");
  throw TimeoutError(
      fmt::format("Not connected to {} within {} ms", core->address, timeout.count()));
}

ClientState Client::state() const noexcept { return core_->state; }

bool Client::has_server_subscription(std::string_view channel) const {
  return core_->server_subs.find(channel) != core_->server_subs.end();
}

std::size_t Client::subscription_count() const noexcept { return core_->subs.size(); }
const std::string& Client::address() const noexcept { return core_->address; }
const ClientOptions& Client::options() const noexcept { return core_->options; }

std::shared_ptr<Subscription> Client::new_subscription(std::string channel,
                                                       SubscriptionEventHandler events) {
  if (channel.empty()) throw ValueError("Channel name must not be empty");
  auto& core = *core_;
  if (auto it = core.subs.find(channel); it != core.subs.end()) {
    if (it->second->state != SubscriptionState::UNSUBSCRIBED) {
      throw RuntimeError(fmt::format("Subscription to the channel {} already exists", channel));
    }
    it->second->attached = false;
    std::erase(core.sub_order, it->second);
    core.subs.erase(it);
  }
  auto sub = std::make_shared<Subscription::Core>();
  sub->channel = channel;
  sub->events = std::move(events);
  sub->client = core_.get();
  core.subs.emplace(std::move(channel), sub);
  core.sub_order.push_back(sub);
  return std::shared_ptr<Subscription>(new Subscription(shared_from_this(), std::move(sub)));
}

std::shared_ptr<Subscription> Client::get_subscription(std::string_view channel) const {
  auto sub = core_->find_sub(channel);
  if (!sub) return nullptr;
  auto self = std::const_pointer_cast<Client>(shared_from_this());
  return std::shared_ptr<Subscription>(new Subscription(std::move(self), std::move(sub)));
}

// ---------------------------------------------------------------------------------------
// Subscription

Subscription::Subscription(std::shared_ptr<Client> client, std::shared_ptr<Core> core)
    : client_(std::move(client)), core_(std::move(core)) {}

Subscription::~Subscription() = default;

const std::string& Subscription::channel() const noexcept { return core_->channel; }
SubscriptionState Subscription::state() const noexcept { return core_->state; }

std::optional<StreamPosition> Subscription::position() const {
  if (!core_->position.recoverable) return std::nullopt;
  return StreamPosition{core_->position.offset, core_->position.epoch};
}

asio::awaitable<void> Subscription::subscribe() {
  auto keep = client_;
  auto sub = core_;
  auto& cc = *sub->client;
  if (cc.shut) throw RuntimeError("Client is closed");
  if (!sub->attached) {
    // Replaced by a newer subscription of the channel: take the slot back if it is free.
    auto it = cc.subs.find(sub->channel);
    if (it != cc.subs.end() && it->second->state != SubscriptionState::UNSUBSCRIBED) {
      throw RuntimeError(
          fmt::format("Subscription to the channel {} already exists", sub->channel));
    }
    if (it != cc.subs.end()) {
      it->second->attached = false;
      std::erase(cc.sub_order, it->second);
      cc.subs.erase(it);
    }
    sub->attached = true;
    cc.subs.emplace(sub->channel, sub);
    cc.sub_order.push_back(sub);
  }
  if (sub->state != SubscriptionState::UNSUBSCRIBED) co_return;
  sub->state = SubscriptionState::SUBSCRIBING;
  sub->resubscribing = false;
  sub->sent_on = 0;
  if (sub->events.on_subscribing) {
    cc.emit_sub(sub, SubscribingContext{sub->channel, 0, "subscribe called"});
  }
  if (cc.state == ClientState::CONNECTED && cc.conn) {
    co_await cc.send_subscribe(sub, cc.conn);
  }
}

asio::awaitable<void> Subscription::unsubscribe() {
  auto keep = client_;
  auto sub = core_;
  auto& cc = *sub->client;
  if (sub->state == SubscriptionState::UNSUBSCRIBED) co_return;
  const bool told = cc.conn && sub->sent_on == cc.conn->serial;
  sub->state = SubscriptionState::UNSUBSCRIBED;
  ++sub->generation;
  sub->position = Position{};
  if (sub->retry) sub->retry->cancel();
  cc.emit_sub(sub,
              UnsubscribedContext{sub->channel, codes::UNSUBSCRIBE_CALLED, "unsubscribe called"});
  cc.detach(sub);
  if (cc.state == ClientState::CONNECTED && told) {
    co_await cc.send_unsubscribe(sub, cc.conn);
  }
}

}  // namespace tolbu_sdk::platform::centrifuge
