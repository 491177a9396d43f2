#pragma once
// Our client of the Centrifugo real-time protocol (JSON format) over WebSocket, ws:// and
// wss://. It runs on one executor, the strategy's event loop, and calls every event handler
// there, one event at a time and in the order the events happened; a handler is awaited
// before the next event is handed out. Nothing here is thread-safe: call it from the loop.
//
//   auto client = Client::create(executor, "ws://127.0.0.1:8080/connection/websocket",
//                                {.on_connected = [](const ConnectedContext& ctx)
//                                     -> asio::awaitable<void> { ...; co_return; }},
//                                {.token = jwt});
//   co_await client->connect();                      // starts connecting, returns at once
//   auto sub = client->new_subscription("market:OHLCV:VN30F1M:60", {.on_publication = ...});
//   co_await sub->subscribe();                       // confirmed, or pending until connected
//
// The client reconnects by itself with exponential backoff and jitter and re-establishes
// every subscription afterwards, unless the server's disconnect says not to come back. A
// subscription the server marked recoverable keeps its stream position (epoch and offset)
// and asks to recover from it when resubscribing: the missed publications arrive in order,
// before live ones, each once; SubscribedContext says whether it worked. A connection token
// with a lifetime (`expires`, `ttl`) is refreshed before it ends, with the token that
// ClientOptions::get_token gives at that time.
// Log lines go to the logger "centrifuge", those of the WebSocket layer to "websockets".

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
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

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/export.hpp"

// A client of the Centrifugo real-time protocol over WebSocket.
namespace tolbu_sdk::platform::centrifuge {

// The connection's state, as Client::state() reports it.
enum class ClientState { DISCONNECTED, CONNECTING, CONNECTED };
// A subscription's state, as Subscription::state() reports it.
enum class SubscriptionState { UNSUBSCRIBED, SUBSCRIBING, SUBSCRIBED };

// The member's name ("CONNECTED").
TOLBU_API std::string_view to_string(ClientState state) noexcept;
// The member's name ("SUBSCRIBED").
TOLBU_API std::string_view to_string(SubscriptionState state) noexcept;

// Codes of the client's own disconnects; the server's are 3000-4999 (3500-3999 and
// 4500-4999 mean "do not reconnect"), WebSocket close codes otherwise.
namespace codes {
// disconnect() was called.
inline constexpr std::uint32_t DISCONNECT_CALLED = 0;
// The WebSocket connection closed or failed.
inline constexpr std::uint32_t TRANSPORT_CLOSED = 1;
// The server's ping did not come in time (ClientOptions::max_server_ping_delay).
inline constexpr std::uint32_t NO_PING = 2;
// The server sent what the protocol does not allow.
inline constexpr std::uint32_t BAD_PROTOCOL = 3;
// A command's reply did not come within ClientOptions::timeout.
inline constexpr std::uint32_t COMMAND_TIMEOUT = 4;
inline constexpr std::uint32_t CLIENT_CLOSED = 5;  // the client object was destroyed
// A hole in a channel's offsets: the subscription is renewed to recover what is missing.
inline constexpr std::uint32_t MISSED_PUBLICATIONS = 6;
// connect() was called (the reason a connecting state begins).
inline constexpr std::uint32_t CONNECT_CALLED = 0;
// unsubscribe() was called.
inline constexpr std::uint32_t UNSUBSCRIBE_CALLED = 0;
// Error codes of the server's replies.
inline constexpr std::uint32_t TOKEN_EXPIRED = 109;
// A subscription's stream position is gone from the server: no recovery is possible.
inline constexpr std::uint32_t UNRECOVERABLE_POSITION = 112;
}  // namespace codes

// True when a disconnect with this code ends the client's attempts to connect.
TOLBU_API bool is_terminal_disconnect(std::uint32_t code) noexcept;

// Who a publication, join or leave came from, as the server describes the client.
struct TOLBU_API ClientInfo {
  // The user id.
  std::string user;
  // The connection's client id.
  std::string client;
  // Connection info the server attached (null when none).
  boost::json::value conn_info;
  // Channel info the server attached (null when none).
  boost::json::value chan_info;
};

// Passed to on_connecting: why the client is (re)connecting.
struct TOLBU_API ConnectingContext {
  // codes::CONNECT_CALLED, or the code of the disconnect that led to a reconnect.
  std::uint32_t code = 0;
  // Said in words.
  std::string reason;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_connected once the server accepted the connection.
struct TOLBU_API ConnectedContext {
  std::string client;  // the id the server gave this connection
  // The server's version.
  std::string version;
  // Always "websocket".
  std::string transport = "websocket";
  boost::json::value data;  // the connect reply's "data", null without one
  bool expires = false;     // the connection's token has a lifetime
  std::uint32_t ttl = 0;    // seconds left of it, when it expires
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_disconnected when the connection ended.
struct TOLBU_API DisconnectedContext {
  // One of codes, the server's disconnect code (3000-4999) or a WebSocket close code.
  std::uint32_t code = 0;
  // Said in words.
  std::string reason;
  bool reconnect = false;  // the client will connect again by itself
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_error: something failed, the client goes on (or reconnects).
struct TOLBU_API ErrorContext {
  std::string type;  // "transport", "connect", "protocol", "timeout", "handler"
  // The server's error code, or a disconnect code.
  std::uint32_t code = 0;
  // What failed, in words.
  std::string message;
  // Whether trying again may succeed.
  bool temporary = false;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_message: an asynchronous message the server pushed.
struct TOLBU_API MessageContext {
  // The message's payload.
  boost::json::value data;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// One publication as the server sent it, apart from its payload: the client hands the
// payload over in PublicationContext::data and leaves `data` here absent, so the payload is
// never copied. A publication without a payload on the wire has both absent.
struct TOLBU_API Publication {
  // Absent here: the payload travels in PublicationContext::data.
  std::optional<boost::json::value> data;
  // Position in the channel's stream (0 when the channel keeps none).
  std::uint64_t offset = 0;
  // The publisher, when the server tells.
  std::optional<ClientInfo> info;
  // Tags the publisher attached.
  std::map<std::string, std::string> tags;
  std::int64_t time = 0;  // epoch ms, when the server sets it
  // The publication in the protocol's JSON form.
  boost::json::object to_json() const;
};

// Passed to on_publication and on_server_publication: one message on a channel.
struct TOLBU_API PublicationContext {
  // The channel it came on.
  std::string channel;
  std::optional<boost::json::value> data;  // the payload
  // Everything else the server sent about it.
  std::optional<Publication> pub;
  // The members present: "channel", then "data" and "pub" when set.
  std::vector<std::string> member_names() const;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_subscribing: the subscription is being (re)made.
struct TOLBU_API SubscribingContext {
  // The channel.
  std::string channel;
  // 0 for subscribe(), else the code of what ended the subscription before.
  std::uint32_t code = 0;
  // Said in words.
  std::string reason;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_subscribed and on_server_subscribed: the server confirmed a subscription.
struct TOLBU_API SubscribedContext {
  // The channel.
  std::string channel;
  // Whether the channel keeps a stream the subscription can recover from.
  bool recoverable = false;
  // Whether the server checks the stream position (ClientOptions::positioned).
  bool positioned = false;
  // The stream position at subscription, when recoverable.
  std::uint64_t offset = 0;
  // @copydoc offset
  std::string epoch;
  bool was_resubscribed = false;  // after a reconnect or a server's resubscribe advice
  bool was_recovering = false;    // recovery from the stream position was asked for
  bool recovered = false;         // and every missed publication follows
  // How many missed publications follow.
  std::size_t recovered_publications = 0;
  // The subscribe reply's "data", null without one.
  boost::json::value data;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_unsubscribed and on_server_unsubscribed: the subscription ended.
struct TOLBU_API UnsubscribedContext {
  // The channel.
  std::string channel;
  // 0: unsubscribe() or disconnect() called; otherwise the server's code (2000-2499), a
  // subscribe refusal's error code, or the disconnect code that ended the client for good.
  std::uint32_t code = 0;
  // Said in words.
  std::string reason;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to a subscription's on_error: subscribing failed; it is tried again when temporary.
struct TOLBU_API SubscriptionErrorContext {
  // The channel.
  std::string channel;
  std::string type;  // "subscribe", "timeout"
  // The server's error code, or codes::COMMAND_TIMEOUT.
  std::uint32_t code = 0;
  // What failed, in words.
  std::string message;
  // Whether trying again may succeed.
  bool temporary = false;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_join: a client joined the channel.
struct TOLBU_API JoinContext {
  // The channel.
  std::string channel;
  // Who joined.
  ClientInfo info;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// Passed to on_leave: a client left the channel.
struct TOLBU_API LeaveContext {
  // The channel.
  std::string channel;
  // Who left.
  ClientInfo info;
  // Every field, as `Name(field=value, ...)`, for logs.
  std::string to_string() const;
};

// An event handler entry: awaited by the client, one event at a time. An entry left empty
// ignores its event. An exception leaving a handler is logged and the next event follows.
template <typename Context>
using EventHandler = std::function<boost::asio::awaitable<void>(const Context&)>;

// The client's event handlers; each may be left empty.
struct TOLBU_API ClientEventHandler {
  // The server accepted the connection.
  EventHandler<ConnectedContext> on_connected;
  // The connection ended (it may be reconnecting).
  EventHandler<DisconnectedContext> on_disconnected;
  // Something failed; the client goes on.
  EventHandler<ErrorContext> on_error;
  // A connection attempt begins.
  EventHandler<ConnectingContext> on_connecting;
  EventHandler<MessageContext> on_message;  // asynchronous "message" pushes
  // Server-side subscriptions: made by the server (the connect reply's "subs", subscribe
  // pushes), re-established and recovered on reconnects, ended by its unsubscribe push.
  EventHandler<SubscribedContext> on_server_subscribed;
  // A publication on a server-side subscription.
  EventHandler<PublicationContext> on_server_publication;
  // A server-side subscription ended.
  EventHandler<UnsubscribedContext> on_server_unsubscribed;
};

// A subscription's event handlers; each may be left empty.
struct TOLBU_API SubscriptionEventHandler {
  // A publication on the channel: recovered ones first, in order, each once.
  EventHandler<PublicationContext> on_publication;
  // The server confirmed the subscription (also after each reconnect).
  EventHandler<SubscribedContext> on_subscribed;
  // Subscribing failed.
  EventHandler<SubscriptionErrorContext> on_error;
  // The subscription is being (re)made.
  EventHandler<SubscribingContext> on_subscribing;
  // The subscription ended.
  EventHandler<UnsubscribedContext> on_unsubscribed;
  // A client joined the channel (when the server reports presence).
  EventHandler<JoinContext> on_join;
  // A client left the channel.
  EventHandler<LeaveContext> on_leave;
};

// How a Client connects, authenticates, reconnects and bounds what it buffers.
struct TOLBU_API ClientOptions {
  std::string token;  // the connection token (a JWT), may be empty
  // Asked for the current token before every connect attempt and every refresh; `token`
  // serves when it is empty. An exception from it counts as a failed attempt.
  std::function<std::string()> get_token;
  std::map<std::string, std::string> headers;  // extra headers of the WebSocket upgrade
  std::string name = "tolbu-cpp";              // client name sent in the connect command
  // The client version sent in the connect command.
  std::string version = "0.1.0";
  // Bounds the TCP, TLS and WebSocket handshakes together, and every command's reply.
  std::chrono::milliseconds timeout{5000};
  // The first reconnect delay; it doubles (with jitter) on each failed attempt.
  std::chrono::milliseconds min_reconnect_delay{500};
  // The longest reconnect delay.
  std::chrono::milliseconds max_reconnect_delay{20000};
  // How late the server's ping may be before the connection counts as dead.
  std::chrono::milliseconds max_server_ping_delay{10000};
  bool tls_verify = true;  // verify the server's certificate and host name (wss)
  std::string tls_ca_pem;  // extra trusted certificates, PEM; the system's are used as well
  // Events waiting for their handlers, and the bytes of the messages they came from
  // (recovered publications included): reading from the socket pauses above either, and
  // the server's backlog limit and recovery take over. One message may pass the byte bound
  // by its own size (at most max_message_bytes). Replies to commands are read regardless.
  std::size_t max_queued_events = 65536;
  // @copydoc max_queued_events
  std::size_t max_queued_bytes = std::size_t(32) << 20;
  // The largest message accepted; a larger one ends the connection as an error.
  std::size_t max_message_bytes = std::size_t(64) << 20;
  // Ask the server to check each subscription's stream position ("positioned"): a server
  // that finds it behind ends the subscription with a resubscribe advice, and it recovers.
  bool positioned = true;
};

// An error reply of the server to a command ("permission denied", "unauthorized", ...).
class TOLBU_API ReplyError : public RuntimeError {
 public:
  // A refusal with the server's `code`; `temporary` when trying again may succeed.
  ReplyError(std::string what, std::uint32_t code, bool temporary)
      : RuntimeError(std::move(what)), code_(code), temporary_(temporary) {}
  // The server's error code.
  std::uint32_t code() const noexcept { return code_; }
  // Whether trying again may succeed.
  bool temporary() const noexcept { return temporary_; }

 private:
  std::uint32_t code_;
  bool temporary_;
};

// A command's reply, or a wait, did not come in time.
class TOLBU_API TimeoutError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

class Subscription;

// Where a recoverable subscription stands in its channel's stream.
struct TOLBU_API StreamPosition {
  // The offset of the last publication received.
  std::uint64_t offset = 0;
  // The stream's epoch: a changed epoch means the stream was reset.
  std::string epoch;
  // Same offset and epoch.
  bool operator==(const StreamPosition&) const = default;
};

// A Centrifugo client: one connection, reconnected by itself, and its subscriptions.
class TOLBU_API Client : public std::enable_shared_from_this<Client> {
 public:
  // Throws ValueError for an address that is not a ws:// or wss:// URL. Does not connect.
  static std::shared_ptr<Client> create(boost::asio::any_io_executor executor, std::string address,
                                        ClientEventHandler events = {}, ClientOptions options = {});
  // Closes the connection: no event follows, every subscription ends.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts connecting and returns at once; on_connected reports success. Does nothing when
  // already connecting or connected.
  boost::asio::awaitable<void> connect();
  // Closes the connection (a close frame, bounded by the timeout), stops reconnecting and
  // ends every subscription; on_disconnected follows unless already disconnected.
  boost::asio::awaitable<void> disconnect();
  // Waits until connected; throws TimeoutError after `timeout` and RuntimeError when the
  // client is disconnected and not trying.
  boost::asio::awaitable<void> ready(std::chrono::milliseconds timeout);
  // An rpc command on the current connection: the reply's data (null when it has none).
  // Throws ReplyError for an error reply, TimeoutError when no reply comes within `timeout`,
  // and RuntimeError when not connected or the connection closes first. Never resent.
  boost::asio::awaitable<boost::json::value> rpc(std::string method, boost::json::value data,
                                                 std::chrono::milliseconds timeout);

  // DISCONNECTED, CONNECTING or CONNECTED.
  ClientState state() const noexcept;
  // The ws:// or wss:// URL it connects to.
  const std::string& address() const noexcept;
  // The options it was created with.
  const ClientOptions& options() const noexcept;

  // A new subscription object, not yet subscribed. Throws ValueError for an empty channel
  // and RuntimeError when a subscription of the channel exists and is not unsubscribed.
  std::shared_ptr<Subscription> new_subscription(std::string channel,
                                                 SubscriptionEventHandler events = {});
  // The subscription of a channel made by new_subscription, or null.
  std::shared_ptr<Subscription> get_subscription(std::string_view channel) const;
  // True while the server holds a server-side subscription of the channel for us.
  bool has_server_subscription(std::string_view channel) const;
  // How many subscriptions the client keeps (unsubscribed ones are forgotten).
  std::size_t subscription_count() const noexcept;
  // Bytes of the messages whose events wait for their handlers.
  std::size_t queued_bytes() const noexcept;

  struct Core;

 private:
  struct Tag {};

 public:
  // For create() only: the private Tag keeps it out of reach.
  Client(Tag, std::shared_ptr<Core> core);

 private:
  std::shared_ptr<Core> core_;
};

// A subscription of one channel, made by Client::new_subscription.
class TOLBU_API Subscription {
 public:
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // The channel subscribed.
  const std::string& channel() const noexcept;
  // UNSUBSCRIBED, SUBSCRIBING or SUBSCRIBED.
  SubscriptionState state() const noexcept;
  // The position of the last publication received, once the server said the channel is
  // recoverable; forgotten by unsubscribe().
  std::optional<StreamPosition> position() const;
  // Subscribes the channel. When connected, returns once the server confirmed it and throws
  // ReplyError when the server refused it; otherwise the subscription stays pending and is
  // made as soon as the client connects. Does nothing when subscribing or subscribed.
  // A channel the server subscribed us to itself is not asked for again: the subscription
  // joins it and shares its one stream position; unsubscribe() then only stops listening.
  // A hole in the offsets of a live subscription is recovered from the last publication
  // delivered (the subscription is renewed); if that fails, on_subscribed says so.
  boost::asio::awaitable<void> subscribe();
  // Ends the subscription at once: no publication of it is delivered afterwards. The
  // server is told when connected; should it fail to answer, the connection is renewed,
  // which ends the subscription there as well.
  boost::asio::awaitable<void> unsubscribe();

  struct Core;

 private:
  friend class Client;
  Subscription(std::shared_ptr<Client> client, std::shared_ptr<Core> core);
  std::shared_ptr<Client> client_;  // keeps the connection alive while the handle lives
  std::shared_ptr<Core> core_;
};

}  // namespace tolbu_sdk::platform::centrifuge
