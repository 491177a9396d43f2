// The hub and its WebSocket sessions: the server side of the Centrifugo JSON protocol.
// One session per connection (accept, read commands, write batched frames, close), kept
// alive by shared ownership across its awaits.

#include "streaming_hub.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <iostream>
#include <random>
#include <set>
#include <unordered_map>

namespace tolbu_sim::streaming {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kFrameLimit = 512 * 1024;  // batched frames stay about this size
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr std::size_t kSeriesBackpressure = 1 << 20;
// A connection whose token expired is closed this long after the expiry without a refresh:
// clients refresh at the expiry at the latest.
constexpr auto kExpiryGrace = std::chrono::seconds(2);
constexpr std::uint32_t kDisconnectExpired = 3005;
constexpr std::uint32_t kTokenExpired = 109;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

std::string quoted(std::string_view text) { return json::serialize(json::string_view(text)); }

std::int64_t system_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void push(std::string_view message) = 0;  // batched with its neighbours
  virtual void push_frame(std::string frame) = 0;   // a frame of its own
  virtual void close_with(std::uint16_t code, std::string reason) = 0;
  virtual void abort() noexcept = 0;
  virtual std::size_t pending_bytes() const noexcept = 0;

  std::uint64_t id = 0;
  bool connected = false;
  std::string name;
  std::set<std::string, std::less<>> channels;
};

struct Hub::State {
  explicit State(asio::any_io_executor executor, HubOptions opts)
      : ex(std::move(executor)), options(std::move(opts)), rng(std::random_device{}()) {}

  // A channel's publication stream: offsets count from 1 within an epoch.
  struct Entry {
    std::uint64_t offset = 0;
    Clock::time_point at;
    std::string pub;  // {"data":...,"offset":N}
  };
  struct Stream {
    std::string epoch;
    std::uint64_t top = 0;
    std::deque<Entry> history;
  };

  asio::any_io_executor ex;
  HubOptions options;
  std::unordered_map<std::uint64_t, SessionBase*> sessions;
  std::unordered_map<std::string, std::vector<SessionBase*>, StringHash, std::equal_to<>> channels;
  std::uint64_t next_session = 1;
  std::uint64_t next_series = 1;
  std::uint64_t connects = 0;
  std::uint64_t deliveries = 0;
  std::uint64_t pongs = 0;
  std::uint64_t refreshes = 0;
  std::uint64_t recovered = 0;
  std::unordered_map<std::string, Stream, StringHash, std::equal_to<>> streams;
  std::uint64_t joins = 0;
  std::vector<std::shared_ptr<tcp::acceptor>> acceptors;
  std::unordered_map<std::uint64_t, std::shared_ptr<asio::steady_timer>> series;
  bool closed = false;
  std::mt19937_64 rng;

  template <typename... Args>
  void note(const Args&... parts) {
    if (options.quiet) return;
    std::cerr << "tolbu-sim: ";
    (std::cerr << ... << parts) << '\n';
  }

  bool denied(std::string_view channel) const {
    return std::any_of(options.deny_prefixes.begin(), options.deny_prefixes.end(),
                       [&](const std::string& p) { return channel.starts_with(p); });
  }

  void add(SessionBase* s) { sessions.emplace(s->id, s); }

  Stream& stream(std::string_view channel) {
    auto it = streams.find(channel);
    if (it == streams.end()) {
      it = streams.emplace(std::string(channel), Stream{}).first;
      it->second.epoch = random_hex(8);
    }
    return it->second;
  }

  void trim(Stream& st) {
    const auto oldest = Clock::now() - options.history_ttl;
    while (!st.history.empty() &&
           (st.history.size() > options.history_size || st.history.front().at < oldest)) {
      st.history.pop_front();
    }
  }

  // Streams nobody listens to and whose history has run out are forgotten.
  void sweep() {
    for (auto it = streams.begin(); it != streams.end();) {
      trim(it->second);
      if (it->second.history.empty() && channels.find(it->first) == channels.end()) {
        it = streams.erase(it);
      } else {
        ++it;
      }
    }
  }

  // The subscribe result of a channel, recovering from the request's position when asked.
  std::string subscribe_result(std::string_view channel, const json::object* request) {
    auto& st = stream(channel);
    trim(st);
    const bool recoverable = options.history_size > 0;
    std::string out = "{";
    if (recoverable) out += R"("recoverable":true,)";
    out += R"("epoch":)" + quoted(st.epoch) + R"(,"offset":)" + std::to_string(st.top);
    const auto* recover = request ? request->if_contains("recover") : nullptr;
    if (recover && recover->is_bool() && recover->get_bool()) {
      const auto* e = request->if_contains("epoch");
      const std::string epoch = e && e->is_string() ? std::string(e->get_string()) : "";
      const auto* o = request->if_contains("offset");
      const std::uint64_t offset = o && o->is_uint64()                        ? o->get_uint64()
                                   : o && o->is_int64() && o->get_int64() > 0 ? o->get_int64()
                                                                              : 0;
      const std::uint64_t oldest = st.history.empty() ? st.top + 1 : st.history.front().offset;
      const bool ok = recoverable && epoch == st.epoch && offset <= st.top && offset + 1 >= oldest;
      out += R"(,"was_recovering":true,"recovered":)";
      out += ok ? "true" : "false";
      if (ok) {
        out += R"(,"publications":[)";
        bool first = true;
        for (const auto& entry : st.history) {
          if (entry.offset <= offset) continue;
          if (!first) out += ',';
          first = false;
          out += entry.pub;
          ++recovered;
        }
        out += "]";
      }
    }
    out += "}";
    return out;
  }

  // One publication: its offset, its place in the history, its delivery.
  std::size_t publish(std::string_view channel, std::string_view data_json) {
    auto it = streams.find(channel);
    if (it == streams.end()) {
      if (channels.find(channel) == channels.end()) return 0;  // nobody to recover it for
      stream(channel);
      it = streams.find(channel);
    }
    auto& st = it->second;
    std::string pub;
    pub.reserve(32 + data_json.size());
    pub += R"({"data":)";
    pub += data_json;
    pub += R"(,"offset":)";
    pub += std::to_string(++st.top);
    pub += '}';
    std::string frame;
    frame.reserve(32 + channel.size() + pub.size());
    frame += R"({"push":{"channel":)";
    frame += quoted(channel);
    frame += R"(,"pub":)";
    frame += pub;
    frame += "}}";
    if (options.history_size > 0) {
      st.history.push_back(Entry{st.top, Clock::now(), std::move(pub)});
      trim(st);
    }
    return deliver(channel, frame);
  }

  std::string random_hex(std::size_t n) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out(n, '0');
    for (auto& c : out) c = hex[rng() & 15];
    return out;
  }

  enum class TokenCheck { OK, INVALID, EXPIRED };
  // The configured token (its lifetime counted from now), or one of mint_token's.
  TokenCheck check_token(std::string_view token, std::optional<Clock::time_point>& expiry) const {
    expiry.reset();
    const auto ttl = options.token_ttl;
    if (options.token.empty() || token == options.token) {
      if (ttl.count() > 0) expiry = Clock::now() + ttl;
      return TokenCheck::OK;
    }
    const std::string prefix = options.token + "~";
    if (!token.starts_with(prefix)) return TokenCheck::INVALID;
    const auto rest = token.substr(prefix.size());
    std::int64_t until_ms = 0;
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), until_ms);
    if (ec != std::errc() || ptr != rest.data() + rest.size()) return TokenCheck::INVALID;
    const auto left = until_ms - system_ms();
    if (left <= 0) return TokenCheck::EXPIRED;
    expiry = Clock::now() + std::chrono::milliseconds(left);
    return TokenCheck::OK;
  }

  void join(SessionBase* s, std::string_view channel) {
    if (++joins % 1024 == 0) sweep();
    stream(channel);
    s->channels.emplace(channel);
    auto it = channels.find(channel);
    if (it == channels.end())
      it = channels.emplace(std::string(channel), std::vector<SessionBase*>{}).first;
    it->second.push_back(s);
  }

  void leave(SessionBase* s, std::string_view channel) {
    if (auto it = channels.find(channel); it != channels.end()) {
      std::erase(it->second, s);
      if (it->second.empty()) {
        channels.erase(it);
        if (auto st = streams.find(channel); st != streams.end()) {
          trim(st->second);
          if (st->second.history.empty()) streams.erase(st);
        }
      }
    }
    // Last: `channel` may view the session's own copy of the name.
    if (auto c = s->channels.find(channel); c != s->channels.end()) s->channels.erase(c);
  }

  void remove(SessionBase* s) {
    while (!s->channels.empty()) {
      const std::string channel = *s->channels.begin();
      leave(s, channel);
    }
    sessions.erase(s->id);
  }

  std::size_t deliver(std::string_view channel, std::string_view text) {
    auto it = channels.find(channel);
    if (it == channels.end()) return 0;
    for (auto* s : it->second) s->push(text);
    deliveries += it->second.size();
    return it->second.size();
  }

  std::size_t max_pending(std::string_view channel) const {
    auto it = channels.find(channel);
    std::size_t most = 0;
    if (it == channels.end()) return 0;
    for (auto* s : it->second) most = std::max(most, s->pending_bytes());
    return most;
  }

  std::string client_id() {
    const std::string id = random_hex(32);
    return id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
           id.substr(16, 4) + "-" + id.substr(20);
  }
};

namespace {

using StatePtr = std::shared_ptr<Hub::State>;

std::uint64_t uint_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v) return 0;
  if (v->is_uint64()) return v->get_uint64();
  if (v->is_int64() && v->get_int64() > 0) return static_cast<std::uint64_t>(v->get_int64());
  return 0;
}

std::string string_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

template <typename Ws>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Ws>> {
 public:
  Session(StatePtr hub, Ws ws)
      : hub_(std::move(hub)),
        ws_(std::move(ws)),
        ping_timer_(hub_->ex),
        close_timer_(hub_->ex),
        expire_timer_(hub_->ex) {
    id = hub_->next_session++;
  }

  static asio::awaitable<void> run(std::shared_ptr<Session> self,
                                   http::request<http::string_body> req) {
    auto& hub = *self->hub_;
    hub.add(self.get());
    try {
      websocket::stream_base::timeout opt{};
      opt.handshake_timeout = std::chrono::seconds(10);
      opt.idle_timeout = websocket::stream_base::none();
      opt.keep_alive_pings = false;
      self->ws_.set_option(opt);
      self->ws_.set_option(websocket::stream_base::decorator(
          [](websocket::response_type& res) { res.set(http::field::server, "tolbu-sim"); }));
      self->ws_.read_message_max(16 * 1024 * 1024);
      co_await self->ws_.async_accept(req, asio::use_awaitable);
      self->ws_.text(true);
      beast::flat_buffer buffer;
      for (;;) {
        buffer.consume(buffer.size());
        co_await self->ws_.async_read(buffer, asio::use_awaitable);
        if (self->dead_) break;
        const auto data = buffer.cdata();
        self->handle_frame(std::string_view(static_cast<const char*>(data.data()), data.size()));
      }
    } catch (const std::exception& e) {
      hub.note("ws session ", self->id, " ended: ", e.what());
    }
    self->dead_ = true;
    self->ping_timer_.cancel();
    self->close_timer_.cancel();
    self->expire_timer_.cancel();
    beast::error_code ec;
    beast::get_lowest_layer(self->ws_).socket().close(ec);
    hub.remove(self.get());
  }

  void push(std::string_view message) override {
    if (dead_ || close_) return;
    if (last_open_ && !frames_.empty() && frames_.back().size() < kFrameLimit) {
      frames_.back().push_back('\n');
      frames_.back().append(message);
    } else {
      frames_.emplace_back(message);
      last_open_ = true;
    }
    pending_ += message.size() + 1;
    if (pending_ > hub_->options.max_pending_bytes) {
      // What is queued still goes out (a recovery reply among it), nothing more: the
      // client comes back and recovers from where it got to.
      close_with(3008, "slow");
      return;
    }
    start_writer();
  }

  void push_frame(std::string frame) override {
    if (dead_ || close_) return;
    pending_ += frame.size();
    frames_.push_back(std::move(frame));
    last_open_ = false;
    start_writer();
  }

  void close_with(std::uint16_t code, std::string reason) override {
    if (dead_ || close_) return;
    hub_->note("ws session ", id, " closing: ", code, " ", reason);
    close_.emplace(code, std::move(reason));
    start_writer();
    // A peer that never answers the close frame is cut off.
    close_timer_.expires_after(kCloseGrace);
    close_timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (!ec) self->abort();
    });
  }

  void abort() noexcept override {
    if (dead_) return;
    dead_ = true;
    beast::error_code ec;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    ping_timer_.cancel();
  }

  std::size_t pending_bytes() const noexcept override { return pending_; }

 private:
  void start_writer() {
    if (writing_) return;
    writing_ = true;
    asio::co_spawn(hub_->ex, write_loop(this->shared_from_this()), asio::detached);
  }

  static asio::awaitable<void> write_loop(std::shared_ptr<Session> self) {
    try {
      while (!self->frames_.empty() && !self->dead_) {
        std::string frame = std::move(self->frames_.front());
        self->frames_.pop_front();
        if (self->frames_.empty()) self->last_open_ = false;
        co_await self->ws_.async_write(asio::buffer(frame), asio::use_awaitable);
        self->pending_ = self->pending_ > frame.size() ? self->pending_ - frame.size() : 0;
      }
      if (self->frames_.empty()) self->pending_ = 0;
      if (self->close_ && !self->close_sent_ && !self->dead_) {
        self->close_sent_ = true;
        websocket::close_reason cr(static_cast<websocket::close_code>(self->close_->first),
                                   self->close_->second);
        co_await self->ws_.async_close(cr, asio::use_awaitable);
      }
    } catch (const std::exception&) {
      self->abort();
    }
    self->writing_ = false;
    if (!self->frames_.empty() && !self->dead_) self->start_writer();
  }

  static asio::awaitable<void> ping_loop(std::shared_ptr<Session> self) {
    for (;;) {
      self->ping_timer_.expires_after(self->hub_->options.ping_interval);
      beast::error_code ec;
      co_await self->ping_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (self->dead_ || self->close_) co_return;
      if (!self->hub_->options.pings) continue;
      if (self->ping_outstanding_) {
        self->close_with(3012, "no pong");
        co_return;
      }
      self->push("{}");
      self->ping_outstanding_ = true;
    }
  }

  void handle_frame(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && !dead_ && !close_) {
      while (p < end && (*p == '\n' || *p == '\r' || *p == ' ' || *p == '\t')) ++p;
      if (p >= end) break;
      parser_.reset();
      beast::error_code ec;
      const std::size_t n = parser_.write_some(p, static_cast<std::size_t>(end - p), ec);
      if (ec) {
        hub_->note("ws session ", id, ": malformed command");
        close_with(3501, "bad request");
        return;
      }
      p += n;
      json::value v = parser_.release();
      if (!v.is_object()) {
        close_with(3501, "bad request");
        return;
      }
      handle_command(v.get_object());
    }
  }

  void reply(std::uint64_t id_, std::string_view method, const json::object& result) {
    if (id_ == 0) return;
    push(R"({"id":)" + std::to_string(id_) + R"(,")" + std::string(method) + R"(":)" +
         json::serialize(result) + "}");
  }

  // A reply whose result is JSON text already.
  void reply_text(std::uint64_t id_, std::string_view method, std::string_view result) {
    if (id_ == 0) return;
    push(R"({"id":)" + std::to_string(id_) + R"(,")" + std::string(method) + R"(":)" +
         std::string(result) + "}");
  }

  // Closes a connection whose token ran out and was not refreshed in time.
  static asio::awaitable<void> expire_loop(std::shared_ptr<Session> self) {
    while (!self->dead_ && !self->close_ && self->expiry_) {
      const auto deadline = *self->expiry_ + kExpiryGrace;
      if (Clock::now() >= deadline) {
        self->hub_->note("ws session ", self->id, ": token expired");
        self->close_with(kDisconnectExpired, "expired");
        co_return;
      }
      self->expire_timer_.expires_at(deadline);
      beast::error_code ec;
      co_await self->expire_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  // The "expires" and "ttl" of a connect or refresh reply.
  void add_expiry(json::object& result) const {
    if (!expiry_) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*expiry_ - Clock::now());
    result["expires"] = true;
    result["ttl"] = std::max<std::int64_t>(1, (left.count() + 999) / 1000);
  }

  void reply_error(std::uint64_t id_, std::uint32_t code, std::string_view message) {
    if (id_ == 0) return;
    push(R"({"id":)" + std::to_string(id_) + R"(,"error":{"code":)" + std::to_string(code) +
         R"(,"message":)" + quoted(message) + "}}");
  }

  void handle_command(json::object& cmd) {
    if (cmd.empty()) {  // the client's pong
      ping_outstanding_ = false;
      ++hub_->pongs;
      return;
    }
    if (!hub_->options.replies) return;
    const auto cid = uint_at(cmd, "id");
    auto* connect = cmd.if_contains("connect");
    if (connect) {
      handle_connect(cid, connect->is_object() ? connect->get_object() : json::object{});
      return;
    }
    if (!connected) {
      close_with(3501, "bad request");
      return;
    }
    auto& hub = *hub_;
    if (auto* sub = cmd.if_contains("subscribe"); sub && sub->is_object()) {
      const auto channel = string_at(sub->get_object(), "channel");
      if (channel.empty()) return reply_error(cid, 107, "bad request");
      if (hub.denied(channel)) return reply_error(cid, 103, "permission denied");
      if (channels.contains(channel)) return reply_error(cid, 105, "already subscribed");
      hub.join(this, channel);
      return reply_text(cid, "subscribe", hub.subscribe_result(channel, &sub->get_object()));
    }
    if (auto* refresh = cmd.if_contains("refresh"); refresh && refresh->is_object()) {
      std::optional<Clock::time_point> expiry;
      switch (hub.check_token(string_at(refresh->get_object(), "token"), expiry)) {
        case Hub::State::TokenCheck::INVALID:
          return close_with(3500, "invalid token");
        case Hub::State::TokenCheck::EXPIRED:
          return reply_error(cid, kTokenExpired, "token expired");
        case Hub::State::TokenCheck::OK:
          break;
      }
      ++hub.refreshes;
      expiry_ = expiry;
      expire_timer_.cancel();  // the loop takes the new expiry
      json::object result;
      add_expiry(result);
      return reply(cid, "refresh", result);
    }
    if (auto* unsub = cmd.if_contains("unsubscribe"); unsub && unsub->is_object()) {
      hub.leave(this, string_at(unsub->get_object(), "channel"));
      return reply(cid, "unsubscribe", json::object{});
    }
    if (auto* pub = cmd.if_contains("publish"); pub && pub->is_object()) {
      const auto channel = string_at(pub->get_object(), "channel");
      if (channel.empty()) return reply_error(cid, 107, "bad request");
      if (hub.denied(channel)) return reply_error(cid, 103, "permission denied");
      const auto* data = pub->get_object().if_contains("data");
      hub.publish(channel, data ? json::serialize(*data) : "null");
      return reply(cid, "publish", json::object{});
    }
    if (cmd.contains("ping")) return reply(cid, "ping", json::object{});
    if (cmd.contains("send")) return;  // asynchronous message: nobody listens here
    reply_error(cid, 104, "method not found");
  }

  void handle_connect(std::uint64_t cid, const json::object& req) {
    auto& hub = *hub_;
    if (connected) {
      close_with(3501, "bad request");
      return;
    }
    std::optional<Clock::time_point> expiry;
    switch (hub.check_token(string_at(req, "token"), expiry)) {
      case Hub::State::TokenCheck::INVALID:
        hub.note("ws session ", id, ": invalid token");
        close_with(3500, "invalid token");
        return;
      case Hub::State::TokenCheck::EXPIRED:
        hub.note("ws session ", id, ": token expired");
        reply_error(cid, kTokenExpired, "token expired");
        return;
      case Hub::State::TokenCheck::OK:
        break;
    }
    expiry_ = expiry;
    connected = true;
    ++hub.connects;
    name = string_at(req, "name");
    if (auto v = string_at(req, "version"); !v.empty()) name += " " + v;
    const auto ping_ms = hub.options.ping_interval.count();
    const auto ping_s = std::max<std::int64_t>(1, (ping_ms + 999) / 1000);
    json::object result{{"client", hub.client_id()},
                        {"version", "tolbu-sim 0.1.0"},
                        {"ping", ping_s},
                        {"pong", true}};
    add_expiry(result);
    // Server-side subscriptions, recovered from the positions the client names.
    std::string subs;
    const auto* asked = req.if_contains("subs");
    for (const auto& channel : hub.options.server_subs) {
      if (channels.contains(channel)) continue;
      hub.join(this, channel);
      const json::value* one =
          asked && asked->is_object() ? asked->get_object().if_contains(channel) : nullptr;
      subs += subs.empty() ? "{" : ",";
      subs += quoted(channel) + ":" +
              hub.subscribe_result(channel, one && one->is_object() ? &one->get_object() : nullptr);
    }
    std::string text = json::serialize(result);
    if (!subs.empty()) {
      text.pop_back();
      text += R"(,"subs":)" + subs + "}}";
    }
    reply_text(cid, "connect", text);
    hub.note("ws session ", id, " connected: ", name);
    asio::co_spawn(hub.ex, ping_loop(this->shared_from_this()), asio::detached);
    if (expiry_) asio::co_spawn(hub.ex, expire_loop(this->shared_from_this()), asio::detached);
  }

  StatePtr hub_;
  Ws ws_;
  std::deque<std::string> frames_;
  bool last_open_ = false;  // the last frame takes more messages
  std::size_t pending_ = 0;
  bool writing_ = false;
  bool dead_ = false;
  bool close_sent_ = false;
  std::optional<std::pair<std::uint16_t, std::string>> close_;
  bool ping_outstanding_ = false;
  asio::steady_timer ping_timer_;
  asio::steady_timer close_timer_;
  asio::steady_timer expire_timer_;
  std::optional<Clock::time_point> expiry_;  // of the connection's token
  json::parser parser_;
};

using PlainWs = websocket::stream<beast::tcp_stream>;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

template <typename Ws>
void start_session(const StatePtr& state, Ws ws, http::request<http::string_body> req) {
  auto s = std::make_shared<Session<Ws>>(state, std::move(ws));
  asio::co_spawn(state->ex, Session<Ws>::run(s, std::move(req)), asio::detached);
}

template <typename Stream>
asio::awaitable<bool> read_upgrade(Stream& stream, http::request<http::string_body>& req) {
  beast::flat_buffer buffer;
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
  co_await http::async_read(stream, buffer, req, asio::use_awaitable);
  beast::get_lowest_layer(stream).expires_never();
  if (websocket::is_upgrade(req)) co_return true;
  http::response<http::string_body> res{http::status::not_found, req.version()};
  res.set(http::field::content_type, "text/plain");
  res.body() = "WebSocket upgrades only\n";
  res.keep_alive(false);
  res.prepare_payload();
  co_await http::async_write(stream, res, asio::use_awaitable);
  co_return false;
}

asio::awaitable<void> serve_plain(StatePtr state, tcp::socket socket) {
  try {
    beast::tcp_stream stream(std::move(socket));
    http::request<http::string_body> req;
    if (!co_await read_upgrade(stream, req)) co_return;
    start_session(state, PlainWs(std::move(stream)), std::move(req));
  } catch (const std::exception& e) {
    state->note("listener: ", e.what());
  }
}

asio::awaitable<void> serve_tls(StatePtr state, tcp::socket socket,
                                std::shared_ptr<ssl::context> tls) {
  try {
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
    beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
    co_await stream.async_handshake(ssl::stream_base::server, asio::use_awaitable);
    http::request<http::string_body> req;
    if (!co_await read_upgrade(stream, req)) co_return;
    start_session(state, TlsWs(std::move(stream)), std::move(req));
  } catch (const std::exception& e) {
    state->note("TLS listener: ", e.what());
  }
}

// A client's backlog is what the hub queues plus what the kernel holds for it: the send
// buffer is kept within the backlog so that a slow reader meets the limit, not the kernel.
void tune(const Hub::State& state, tcp::socket& socket) {
  beast::error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  asio::socket_base::send_buffer_size size;
  socket.get_option(size, ec);
  if (!ec && static_cast<std::size_t>(size.value()) > state.options.max_pending_bytes) {
    socket.set_option(asio::socket_base::send_buffer_size(
                          static_cast<int>(state.options.max_pending_bytes)),
                      ec);
  }
}

asio::awaitable<void> accept_loop(StatePtr state, std::shared_ptr<tcp::acceptor> acceptor,
                                  std::shared_ptr<ssl::context> tls) {
  for (;;) {
    beast::error_code ec;
    tcp::socket socket =
        co_await acceptor->async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      if (state->closed || ec == asio::error::operation_aborted) co_return;
      continue;
    }
    tune(*state, socket);
    if (tls) {
      asio::co_spawn(state->ex, serve_tls(state, std::move(socket), tls), asio::detached);
    } else {
      asio::co_spawn(state->ex, serve_plain(state, std::move(socket)), asio::detached);
    }
  }
}

std::uint16_t open_listener(const StatePtr& state, const std::string& host, std::uint16_t port,
                            std::shared_ptr<ssl::context> tls) {
  auto acceptor = std::make_shared<tcp::acceptor>(state->ex);
  tcp::endpoint endpoint(asio::ip::make_address(host), port);
  acceptor->open(endpoint.protocol());
  acceptor->set_option(asio::socket_base::reuse_address(true));
  acceptor->bind(endpoint);
  acceptor->listen(asio::socket_base::max_listen_connections);
  state->acceptors.push_back(acceptor);
  asio::co_spawn(state->ex, accept_loop(state, acceptor, std::move(tls)), asio::detached);
  return acceptor->local_endpoint().port();
}

asio::awaitable<void> run_series(StatePtr state, std::uint64_t id, Series series,
                                 std::function<void(std::uint64_t)> done) {
  auto timer = state->series.at(id);
  std::uint64_t sent = 0;
  const auto start = Clock::now();
  beast::error_code ec;
  auto publish_one = [&] {
    state->publish(series.channel, series.make(sent));
    ++sent;
  };
  while (sent < series.count && !state->closed && !ec) {
    if (series.rate <= 0) {
      for (int i = 0; i < 256 && sent < series.count; ++i) publish_one();
      // Let the writers drain before the next batch; a slow client is waited for.
      while (state->max_pending(series.channel) > kSeriesBackpressure && !state->closed) {
        timer->expires_after(std::chrono::microseconds(200));
        co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;
      }
      co_await asio::post(state->ex, asio::use_awaitable);
      continue;
    }
    const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    auto due = static_cast<std::uint64_t>(elapsed * series.rate) + 1;
    due = std::min(due, series.count);
    while (sent < due) publish_one();
    if (sent >= series.count) break;
    const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(double(sent) / series.rate));
    timer->expires_at(next);
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  state->series.erase(id);
  if (done) done(sent);
}

}  // namespace

json::object HubStats::to_json() const {
  json::object subs;
  for (const auto& [channel, n] : subscribers) subs[channel] = n;
  json::array names;
  for (const auto& n : client_names) names.emplace_back(n);
  return json::object{
      {"sessions", sessions},       {"connected", connected}, {"connects", connects},
      {"deliveries", deliveries},   {"pongs", pongs},         {"refreshes", refreshes},
      {"recovered", recovered},     {"streams", streams},     {"subscribers", std::move(subs)},
      {"clients", std::move(names)}};
}

Hub::Hub(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::shared_ptr<Hub> Hub::create(asio::any_io_executor executor, HubOptions options) {
  return std::shared_ptr<Hub>(
      new Hub(std::make_shared<State>(std::move(executor), std::move(options))));
}

Hub::~Hub() { close(); }

void Hub::accept(beast::tcp_stream stream, http::request<http::string_body> request) {
  if (state_->closed) return;
  tune(*state_, stream.socket());
  start_session(state_, PlainWs(std::move(stream)), std::move(request));
}

std::uint16_t Hub::listen(const std::string& host, std::uint16_t port) {
  return open_listener(state_, host, port, nullptr);
}

std::uint16_t Hub::listen_tls(const std::string& host, std::uint16_t port,
                              std::shared_ptr<ssl::context> tls) {
  return open_listener(state_, host, port, std::move(tls));
}

void Hub::close() {
  auto& s = *state_;
  s.closed = true;
  beast::error_code ec;
  for (auto& a : s.acceptors) a->close(ec);
  s.acceptors.clear();
  for (auto& [id, timer] : s.series) timer->cancel();
  std::vector<SessionBase*> all;
  for (auto& [id, session] : s.sessions) all.push_back(session);
  for (auto* session : all) session->abort();
}

std::size_t Hub::publish(std::string_view channel, const json::value& data) {
  return state_->publish(channel, json::serialize(data));
}

std::size_t Hub::publish_text(std::string_view channel, std::string_view data_json) {
  return state_->publish(channel, data_json);
}

std::size_t Hub::server_subscribe(std::string_view channel) {
  std::vector<SessionBase*> targets;
  for (auto& [id, session] : state_->sessions) {
    if (session->connected && !session->channels.contains(channel)) targets.push_back(session);
  }
  for (auto* session : targets) {
    state_->join(session, channel);
    session->push(std::string(R"({"push":{"channel":)") + quoted(channel) + R"(,"subscribe":)" +
                  state_->subscribe_result(channel, nullptr) + "}}");
  }
  return targets.size();
}

std::size_t Hub::restart() {
  state_->streams.clear();
  return drop_all(std::nullopt, "restart");
}

std::string Hub::mint_token(std::chrono::milliseconds ttl) const {
  return state_->options.token + "~" + std::to_string(system_ms() + ttl.count());
}

std::size_t Hub::send_raw(std::string frame, std::optional<std::string> channel) {
  std::size_t n = 0;
  for (auto& [id, session] : state_->sessions) {
    if (!session->connected) continue;
    if (channel && !session->channels.contains(*channel)) continue;
    session->push_frame(frame);
    ++n;
  }
  return n;
}

std::size_t Hub::drop_all(std::optional<std::uint16_t> code, std::string reason) {
  std::vector<SessionBase*> all;
  for (auto& [id, session] : state_->sessions) all.push_back(session);
  for (auto* session : all) {
    if (code) {
      session->close_with(*code, reason);
    } else {
      session->abort();
    }
  }
  return all.size();
}

std::size_t Hub::unsubscribe_all(std::string_view channel, std::uint32_t code, std::string reason) {
  auto it = state_->channels.find(channel);
  if (it == state_->channels.end()) return 0;
  const auto members = it->second;
  const std::string text = std::string(R"({"push":{"channel":)") + quoted(channel) +
                           R"(,"unsubscribe":{"code":)" + std::to_string(code) + R"(,"reason":)" +
                           quoted(reason) + "}}}";
  for (auto* s : members) {
    s->push(text);
    state_->leave(s, channel);
  }
  return members.size();
}

std::uint64_t Hub::start_series(Series series, std::function<void(std::uint64_t)> done) {
  const auto id = state_->next_series++;
  state_->series.emplace(id, std::make_shared<asio::steady_timer>(state_->ex));
  asio::co_spawn(state_->ex, run_series(state_, id, std::move(series), std::move(done)),
                 asio::detached);
  return id;
}

bool Hub::has_subscribers(std::string_view channel) const {
  return state_->channels.find(channel) != state_->channels.end();
}

HubOptions& Hub::options() { return state_->options; }

HubStats Hub::stats() const {
  HubStats out;
  out.sessions = state_->sessions.size();
  for (const auto& [id, s] : state_->sessions) {
    if (!s->connected) continue;
    ++out.connected;
    out.client_names.push_back(s->name);
  }
  for (const auto& [channel, members] : state_->channels) out.subscribers[channel] = members.size();
  out.connects = state_->connects;
  out.deliveries = state_->deliveries;
  out.pongs = state_->pongs;
  out.refreshes = state_->refreshes;
  out.recovered = state_->recovered;
  out.streams = state_->streams.size();
  return out;
}

}  // namespace tolbu_sim::streaming
