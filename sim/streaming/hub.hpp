#pragma once
// The streaming side of tolbu-sim: a Centrifugo-speaking server (JSON protocol, WebSocket)
// with channels, subscriptions, server pings and a few levers for tests (raw frames, dropped
// connections, publication series). Channels keep a history (size and lifetime bounded) in a
// stream with its own epoch; every publication carries its offset, and a subscribe that asks
// to recover gets the publications after its position when the history still holds them.
// Tokens may have a lifetime, extended by the client's refresh; server-side subscriptions
// are made at connect. It does not depend on the rest of the sim, so tests can
// run it in their own process:
//
//   auto hub = tolbu_sim::streaming::Hub::create(io.get_executor(), {.token = "jwt"});
//   auto port = hub->listen("127.0.0.1", 0);   // its own WebSocket listener
//   hub->publish("market:OHLCV:HPG:60", candle_json);
//
// Single-threaded: everything runs on the executor given to create().

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sdk::platform::inproc {
class MessageEnd;
}

namespace tolbu_sim::streaming {

struct HubOptions {
  std::string token;  // connection token the connect command must carry; empty: any
  std::chrono::milliseconds ping_interval{25000};  // server pings; a client that misses one
                                                   // pong by the next ping is disconnected
  bool pings = true;    // false: no pings at all (a server that went silent)
  bool replies = true;  // false: commands get no reply (a server that hangs)
  std::size_t max_pending_bytes = std::size_t(64) << 20;  // slower clients: 3008 "slow"
  std::vector<std::string> deny_prefixes;         // subscribe answers 103 "permission denied"
  bool quiet = true;                              // no connection lines on stderr
  std::size_t history_size = 1000;                // publications kept per channel; 0: no history
  std::chrono::milliseconds history_ttl{300000};  // how long a publication is kept
  // Lifetime of a connection's token: the connect reply says "expires" and "ttl", and a
  // connection that does not refresh in time is closed with 3005 "expired". 0: unlimited.
  std::chrono::milliseconds token_ttl{0};
  std::vector<std::string> server_subs;  // channels every connection is subscribed to
  // The next client subscribe to one of these is overtaken by a server-side subscription
  // of the channel (its subscribe push goes first) and answered 105 "already subscribed".
  std::vector<std::string> late_server_subs;
};

struct HubStats {
  std::size_t sessions = 0;                        // open WebSocket connections
  std::size_t connected = 0;                       // of which past the connect command
  std::map<std::string, std::size_t> subscribers;  // channel -> subscribed connections
  std::uint64_t connects = 0;                      // successful connects so far
  std::uint64_t deliveries = 0;                    // publications x connections
  std::uint64_t pongs = 0;                         // pongs received
  std::uint64_t refreshes = 0;                     // token refreshes accepted
  std::uint64_t recovered = 0;                     // publications sent by recoveries
  std::size_t streams = 0;                         // channels with a history stream
  std::vector<std::string> client_names;           // "name version" of connected clients
  boost::json::object to_json() const;
};

// A publication series for tests and benchmarks: `count` publications on `channel` at
// `rate` per second (0: as fast as the loop allows), payloads made by `make(seq)` as JSON text.
struct Series {
  std::string channel;
  double rate = 0;
  std::uint64_t count = 0;
  std::function<std::string(std::uint64_t seq)> make;
};

// Answers a client's "rpc" command: the result as JSON text, or an error (code, message).
struct RpcError {
  std::uint32_t code = 0;
  std::string message;
};
using RpcHandler = std::function<std::string(std::string_view method,
                                             const boost::json::value& data, RpcError& error)>;

class Hub : public std::enable_shared_from_this<Hub> {
 public:
  static std::shared_ptr<Hub> create(boost::asio::any_io_executor executor, HubOptions options);
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Takes over a connection whose WebSocket upgrade request has been read.
  void accept(boost::beast::tcp_stream stream,
              boost::beast::http::request<boost::beast::http::string_body> request);
  // Takes over the server end of an in-process connection (a back end linked into the
  // strategy's program): the same session, without a socket.
  void accept_inproc(std::shared_ptr<tolbu_sdk::platform::inproc::MessageEnd> end);
  // A listener of its own (upgrade requests on any path); returns the bound port.
  std::uint16_t listen(const std::string& host, std::uint16_t port);
  // The same over TLS (wss://) with the given server context.
  std::uint16_t listen_tls(const std::string& host, std::uint16_t port,
                           std::shared_ptr<boost::asio::ssl::context> tls);
  // Closes the listeners and every connection.
  void close();

  // One publication to every connection subscribed to the channel; returns how many.
  std::size_t publish(std::string_view channel, const boost::json::value& data);
  std::size_t publish_text(std::string_view channel, std::string_view data_json);
  // A publication kept for recovery but delivered to nobody: the next one shows a hole in
  // the offsets.
  void publish_withheld(std::string_view channel, const boost::json::value& data);
  // A frame sent exactly as given, to every connected client or to a channel's subscribers.
  std::size_t send_raw(std::string frame, std::optional<std::string> channel = std::nullopt);
  // Ends every connection: with a close frame of that code and reason, or abruptly.
  std::size_t drop_all(std::optional<std::uint16_t> code, std::string reason);
  // Server-side unsubscribe of a channel (code 2000-2499: final, 2500-2999: resubscribe).
  std::size_t unsubscribe_all(std::string_view channel, std::uint32_t code, std::string reason);
  // Subscribes every connected client to the channel with a subscribe push.
  std::size_t server_subscribe(std::string_view channel);
  // As a restarted server: every history is gone (its stream starts a new epoch) and every
  // connection is cut.
  std::size_t restart();
  // A token accepted until `ttl` from now ("token expired" afterwards).
  std::string mint_token(std::chrono::milliseconds ttl) const;
  // Starts a series; `done(sent)` runs once it is over. Returns the series id.
  std::uint64_t start_series(Series series, std::function<void(std::uint64_t)> done = {});

  // Handler of "rpc" commands; without one they answer 104 "method not found".
  void on_rpc(RpcHandler handler);

  bool has_subscribers(std::string_view channel) const;
  HubOptions& options();
  HubStats stats() const;

  struct State;

 private:
  explicit Hub(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace tolbu_sim::streaming
