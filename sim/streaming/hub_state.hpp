#pragma once
// What the hub's parts share: its state (sessions, channels, history streams) and the
// protocol side of a session. The WebSocket stream of each kind lives in session.hpp, used
// only by session_plain.cpp and session_tls.cpp, so that Beast's WebSocket code is compiled
// once per stream type.

#include "streaming/hub.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <charconv>
#include <deque>
#include <iostream>
#include <random>
#include <set>
#include <unordered_map>

namespace tolbu_sim::streaming {

namespace asio = boost::asio;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kFrameLimit = 512 * 1024;  // batched frames stay about this size
inline constexpr auto kCloseGrace = std::chrono::seconds(2);
inline constexpr std::size_t kSeriesBackpressure = 1 << 20;
// A connection whose token expired is closed this long after the expiry without a refresh:
// clients refresh at the expiry at the latest.
inline constexpr auto kExpiryGrace = std::chrono::seconds(2);
inline constexpr std::uint32_t kDisconnectExpired = 3005;
inline constexpr std::uint32_t kTokenExpired = 109;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

inline std::string quoted(std::string_view text) {
  return json::serialize(json::string_view(text));
}

inline std::int64_t system_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

using StatePtr = std::shared_ptr<Hub::State>;

// One WebSocket connection's protocol side: commands, replies, the outgoing frame queue,
// pings and token expiry. Session<Ws> adds the stream: reading, writing, closing.
class SessionBase : public std::enable_shared_from_this<SessionBase> {
 public:
  explicit SessionBase(StatePtr hub);
  virtual ~SessionBase() = default;
  void push(std::string_view message);  // batched with its neighbours
  void push_frame(std::string frame);   // a frame of its own
  void close_with(std::uint16_t code, std::string reason);
  virtual void abort() noexcept = 0;
  std::size_t pending_bytes() const noexcept { return pending_; }

  std::uint64_t id = 0;
  bool connected = false;
  std::string name;
  std::set<std::string, std::less<>> channels;

 protected:
  virtual void start_writer() = 0;
  // The commands of one text frame (several may come newline-separated).
  void handle_frame(std::string_view text);
  // The connection is over: no more timers, and the session leaves the hub.
  void finish();

  StatePtr hub_;
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

 private:
  static asio::awaitable<void> ping_loop(std::shared_ptr<SessionBase> self);
  static asio::awaitable<void> expire_loop(std::shared_ptr<SessionBase> self);
  void reply(std::uint64_t id_, std::string_view method, const json::object& result);
  void reply_text(std::uint64_t id_, std::string_view method, std::string_view result);
  void reply_error(std::uint64_t id_, std::uint32_t code, std::string_view message);
  void add_expiry(json::object& result) const;
  void handle_command(json::object& cmd);
  void handle_connect(std::uint64_t cid, const json::object& req);
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
  RpcHandler rpc;

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
    if (const auto* p = request ? request->if_contains("positioned") : nullptr;
        recoverable && p && p->is_bool() && p->get_bool()) {
      out += R"("positioned":true,)";
    }
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
  // `withheld`: kept in the history but sent to nobody, as a publication lost on its way.
  std::size_t publish(std::string_view channel, std::string_view data_json, bool withheld = false) {
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
    return withheld ? 0 : deliver(channel, frame);
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

// Trims a new connection's socket to the hub's backlog limit.
void tune(const Hub::State& state, tcp::socket& socket);
// A plain connection's session, once its upgrade request has been read.
void start_plain_session(const StatePtr& state, boost::beast::tcp_stream stream,
                         boost::beast::http::request<boost::beast::http::string_body> req);
// An in-process connection's session.
void start_inproc_session(const StatePtr& state,
                          std::shared_ptr<tolbu_sdk::platform::inproc::MessageEnd> end);
// Reads the upgrade request of a new connection and runs its session.
asio::awaitable<void> serve_plain(StatePtr state, tcp::socket socket);
asio::awaitable<void> serve_tls(StatePtr state, tcp::socket socket,
                                std::shared_ptr<asio::ssl::context> tls);

}  // namespace tolbu_sim::streaming
