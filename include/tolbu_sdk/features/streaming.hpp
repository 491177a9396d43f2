#pragma once
// tolbu_sdk.features.streaming: the real-time client of a strategy.
//
//   tolbu_sdk::features::TolbuStream stream(config);
//   co_await stream.connect([]() -> asio::awaitable<void> { ...; co_return; });
//   auto sub = co_await stream.subscribe_candles("VN30F1M", TimeResolution::MINUTE_1,
//                                                [](const types::Candle& c) { ... });
//   ...
//   co_await stream.unsubscribe(sub);
//   co_await stream.disconnect();
//
// Under g++ a callback that owns memory (captures a string or shared_ptr by value) is bound to
// a variable before it is passed to an awaited call; written inline it does not compile, as
// g++ would free it twice (see platform/detail/co_await_safe.hpp).
//
// Everything runs on the event loop that awaits connect(): the protocol client's events,
// publication dispatch and every callback. Callbacks are plain or asynchronous: a callable
// returning boost::asio::awaitable is awaited before the next callback runs.
//
// One server subscription per full channel name ("market:OHLCV:VN30F1M:60"): registering a
// channel again adds the callback to the existing record, and every publication reaches the
// record's callbacks in registration order. A failing callback is logged and skipped.
//
// Ownership: the stream owns its current client; every record's subscription object keeps
// the client it came from alive. When a second connect() replaces the client, the first one
// stays connected for as long as records of it exist (the registry keeps them, and so do
// callers holding them), keeps delivering to them, and closes when the last one goes.
// Destroying the stream closes its current client unless records of it are still held.
//
// Nothing lost across reconnects. The client reconnects by itself; every channel that the
// server keeps history for is resubscribed from its last position, and the publications
// missed meanwhile arrive before live ones, in order, each once. When they cannot (the server
// restarted with a new epoch, or its history no longer reaches back that far) a WARNING names
// the channel and on_gap(channel) runs, so that the strategy can reconcile from REST. The
// token is read anew (config.jwt_token, or the token provider) for every connect attempt and
// for the refresh sent before a token with a lifetime expires.
//
// A callback slower than the feed makes the client stop reading; the server then ends the
// connection ("slow", 3008) once its backlog for us passes its limit, and the reconnect
// recovers from where the delivered publications end. Nothing is lost as long as the
// server's history covers what arrived meanwhile: its size (publications per channel) and
// lifetime bound it. Beyond the history the channel reports a gap (WARNING and on_gap).
// The client keeps at most 65,536 events, or 32 MiB of the messages they came from
// (recovered publications included), queued for callbacks before it stops reading.
// A strategy that handles fewer publications per second than arrive falls behind by the
// difference: it keeps up for (history size) / (difference) seconds at most, then gaps.
//
// A subscription that the server ends for good (an unsubscribe with a code below 2500, a
// refused subscribe, a disconnect after which the client does not come back) leaves the
// registry with a WARNING naming the channel and code, and its record turns inactive; a later
// subscribe of the channel asks the server again. Unsubscribed channels are forgotten.
//
// Log lines go to the logger "tolbu_sdk.features.streaming".

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/detail/co_await_safe.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace tolbu_sdk::platform::centrifuge {
class Client;
class Subscription;
struct ConnectedContext;
struct DisconnectedContext;
struct ErrorContext;
struct PublicationContext;
struct SubscribedContext;
struct SubscriptionErrorContext;
}  // namespace tolbu_sdk::platform::centrifuge

// The services between a strategy and the back end: the stream, market data, orders and the
// smart indicators.
namespace tolbu_sdk::features {

namespace detail {

template <typename T>
struct awaitable_result {
  static constexpr bool value = false;
  static constexpr bool is_void = false;
};
template <typename T, typename E>
struct awaitable_result<boost::asio::awaitable<T, E>> {
  static constexpr bool value = true;
  static constexpr bool is_void = std::is_void_v<T>;
};

// awaitable<void> as a type that depends on Args, so that the callbacks' coroutines below are
// checked where they are used (with Asio included) rather than where they are declared.
template <typename T, typename...>
struct dependent_on {
  using type = T;
};
template <typename... Args>
using awaitable_void = platform::detail::awaitable<typename dependent_on<void, Args...>::type>;

// A readable name of a callable's type, for log lines.
TOLBU_API std::string callable_name(const std::type_info& type);

}  // namespace detail

// Which callables a callback awaits: only those returning awaitable<void>, or those returning
// any awaitable (its value dropped). Under VOID_ONLY a callable returning another awaitable
// is plain: called, its awaitable dropped un-awaited.
enum class AwaitedResults { VOID_ONLY, ANY };

// A callback that is either plain or asynchronous, fixed by what the callable is declared to
// return and by which results it awaits.
// Copies share the callable; two callbacks compare equal when they share it.
template <AwaitedResults Awaited, typename... Args>
class BasicCallback {
 public:
  // An empty callback.
  BasicCallback() = default;
  // An empty callback, from nullptr.
  BasicCallback(std::nullptr_t) {}

  // Wraps any callable taking `Args`; its type's name is the callback's name in log lines.
  template <typename F>
  requires(!std::is_base_of_v<BasicCallback, std::decay_t<F>> &&
           !std::is_same_v<std::decay_t<F>, std::nullptr_t> &&
           std::is_invocable_v<std::decay_t<F>&, Args...>)
      BasicCallback(F&& f)  // NOLINT: implicit, so that any callable can be passed
      : BasicCallback(std::forward<F>(f), detail::callable_name(typeid(std::decay_t<F>))) {}

  // The same with a name of its own for log lines.
  template <typename F>
  requires(std::is_invocable_v<std::decay_t<F>&, Args...>) BasicCallback(F&& f, std::string name) {
    using Fn = std::decay_t<F>;
    using R = std::invoke_result_t<Fn&, Args...>;
    auto impl = std::make_shared<Impl>();
    impl->name = std::move(name);
    if constexpr (detail::awaitable_result<R>::value &&
                  (Awaited == AwaitedResults::ANY || detail::awaitable_result<R>::is_void)) {
      if constexpr (detail::awaitable_result<R>::is_void) {
        impl->async = std::function<platform::detail::awaitable<void>(Args...)>(std::forward<F>(f));
      } else {
        impl->async =
            [fn = Fn(std::forward<F>(f))](Args... args) mutable -> detail::awaitable_void<Args...> {
          (void)co_await fn(args...);
        };
      }
    } else {
      impl->plain = [fn = Fn(std::forward<F>(f))](Args... args) mutable {
        (void)fn(std::forward<Args>(args)...);
      };
    }
    impl_ = std::move(impl);
  }

  // Whether a callable is set.
  explicit operator bool() const noexcept { return impl_ != nullptr; }
  // Whether it is awaited (its callable returns an awaitable that Awaited admits).
  bool is_async() const noexcept { return impl_ && static_cast<bool>(impl_->async); }
  // The name for log lines; "None" when empty.
  const std::string& name() const noexcept {
    static const std::string none = "None";
    return impl_ ? impl_->name : none;
  }

  // A plain callback's call.
  void invoke(Args... args) const { impl_->plain(std::forward<Args>(args)...); }
  // An asynchronous callback's awaitable.
  detail::awaitable_void<Args...> invoke_async(Args... args) const {
    return impl_->async(std::forward<Args>(args)...);
  }
  // Calls the callback and awaits it when it is asynchronous.
  detail::awaitable_void<Args...> operator()(Args... args) const {
    auto impl = impl_;  // the callable outlives the await
    if (impl->async) {
      co_await impl->async(args...);
    } else {
      impl->plain(args...);
    }
  }

  // The same callable: copies of one callback.
  friend bool operator==(const BasicCallback& a, const BasicCallback& b) noexcept {
    return a.impl_ == b.impl_;
  }

 private:
  struct Impl {
    std::function<void(Args...)> plain;
    std::function<platform::detail::awaitable<void>(Args...)> async;
    std::string name;
  };
  std::shared_ptr<const Impl> impl_;
};

// Takes the publication's payload.
using PublicationCallback = BasicCallback<AwaitedResults::ANY, const boost::json::value&>;
// on_connect, on_disconnect: no argument.
using ConnectionCallback = BasicCallback<AwaitedResults::VOID_ONLY>;
// on_error: an error whose message is the text form of the client's error context.
using ErrorCallback = BasicCallback<AwaitedResults::VOID_ONLY, const std::exception&>;
// How a connection ended, for the on_disconnect form that wants to know.
struct TOLBU_API DisconnectInfo {
  std::uint32_t code = 0;  // the server's disconnect code, or the client's own (0-5)
  // Said in words.
  std::string reason;
  bool reconnect = false;  // the client will connect again by itself
};

// on_disconnect: either with no argument or with a DisconnectInfo.
class TOLBU_API DisconnectCallback {
 public:
  // The on_disconnect form that receives a DisconnectInfo.
  using Detailed = BasicCallback<AwaitedResults::VOID_ONLY, const DisconnectInfo&>;

  // An empty callback.
  DisconnectCallback() = default;
  // An empty callback, from nullptr.
  DisconnectCallback(std::nullptr_t) {}
  // The form without an argument.
  DisconnectCallback(ConnectionCallback cb) : plain_(std::move(cb)) {}
  // The form with a DisconnectInfo.
  DisconnectCallback(Detailed cb) : detailed_(std::move(cb)) {}
  // Any callable taking no argument.
  template <typename F>
  requires(!std::is_base_of_v<DisconnectCallback, std::decay_t<F>> &&
           !std::is_base_of_v<ConnectionCallback, std::decay_t<F>> &&
           !std::is_base_of_v<Detailed, std::decay_t<F>> &&
           !std::is_same_v<std::decay_t<F>, std::nullptr_t> &&
           std::is_invocable_v<std::decay_t<F>&>) DisconnectCallback(F&& f)  // NOLINT
      : plain_(std::forward<F>(f)) {}
  // Any callable taking a DisconnectInfo.
  template <typename F>
  requires(!std::is_base_of_v<DisconnectCallback, std::decay_t<F>> &&
           !std::is_base_of_v<Detailed, std::decay_t<F>> && !std::is_invocable_v<std::decay_t<F>&> &&
           std::is_invocable_v<std::decay_t<F>&, const DisconnectInfo&>)
      DisconnectCallback(F&& f)  // NOLINT
      : detailed_(std::forward<F>(f)) {}

  // Whether a callable is set.
  explicit operator bool() const noexcept {
    return static_cast<bool>(plain_) || static_cast<bool>(detailed_);
  }
  // Calls the callback, awaiting it when it is asynchronous.
  platform::detail::awaitable<void> operator()(const DisconnectInfo& info) const;

 private:
  ConnectionCallback plain_;
  Detailed detailed_;
};

// on_gap: the channel whose missed publications could not be recovered.
using GapCallback = BasicCallback<AwaitedResults::VOID_ONLY, const std::string&>;

// Typed callbacks of the converting subscriptions.
using DepthCallback = BasicCallback<AwaitedResults::ANY, const types::Depth&>;
// Takes each candle of an OHLCV channel.
using CandleCallback = BasicCallback<AwaitedResults::ANY, const types::Candle&>;
// Takes each ProductInfo publication.
using ProductInfoCallback = BasicCallback<AwaitedResults::ANY, const types::ProductInfo&>;
// Takes each ProductStat publication.
using ProductStatCallback = BasicCallback<AwaitedResults::ANY, const types::ProductStat&>;

// Represents an active subscription wrapper.
struct TOLBU_API TolbuSubscription {
  std::string channel_name;                      // the full channel name; the registry key
  std::vector<PublicationCallback> callbacks{};  // every publication goes to each, in order
  std::shared_ptr<platform::centrifuge::Subscription> sub_obj{};  // once created
  bool active = true;                                             // false once unsubscribed

  // Same channel, callbacks, subscription object and state.
  bool operator==(const TolbuSubscription&) const = default;
};

// The registry: at most one record per full channel name, in registration order.
class TOLBU_API SubscriptionRegistry {
 public:
  // The record registered under `channel_name`, or null.
  std::shared_ptr<TolbuSubscription> find(std::string_view channel_name) const;
  // Whether a record is registered under `channel_name`.
  bool contains(std::string_view channel_name) const { return find(channel_name) != nullptr; }
  // Registers under the record's channel name (replacing what was there).
  void insert(std::shared_ptr<TolbuSubscription> record);
  // Removes whatever record is registered under the name; false when none is.
  bool erase(std::string_view channel_name);
  // Forgets every record.
  void clear() noexcept { entries_.clear(); }
  // Number of records.
  std::size_t size() const noexcept { return entries_.size(); }
  // Whether no record is registered.
  bool empty() const noexcept { return entries_.empty(); }
  // The records, in registration order.
  std::vector<std::shared_ptr<TolbuSubscription>> records() const;
  // Their channel names, in registration order.
  std::vector<std::string> channel_names() const;

 private:
  std::vector<std::pair<std::string, std::shared_ptr<TolbuSubscription>>> entries_;
};

// The market-data and order-event stream: one Centrifugo connection and its subscriptions.
class TOLBU_API TolbuStream {
 public:
  // A record of one channel, shared with the registry.
  using SubscriptionPtr = std::shared_ptr<TolbuSubscription>;
  // The coroutine type of the stream's operations.
  template <typename T>
  using Task = platform::detail::awaitable<T>;
  // A callback of an awaited call: under g++ an owning lambda written inline there does not
  // compile (g++ would free it twice); bind it to a variable first.
  template <typename Callback>
  using CoAwaitSafe = platform::detail::CoAwaitSafe<Callback>;

  // Stores the configuration; no validation, no network activity.
  explicit TolbuStream(const TolbuConfig& config);
  // A temporary configuration would be gone before connect() reads it.
  TolbuStream(TolbuConfig&&) = delete;
  ~TolbuStream();
  TolbuStream(const TolbuStream&) = delete;
  TolbuStream& operator=(const TolbuStream&) = delete;

  // Read at each connect: streaming_ws and jwt_token.
  const TolbuConfig& config;

  // True while the current client reports the connected state.
  bool connected() const;

  // Creates a new client for config.streaming_ws with the JWT as its token and starts it;
  // returns without waiting for the connection (on_connect tells). nullptr leaves a callback
  // out: connect(nullptr, nullptr, on_error). on_disconnect takes no argument, or a
  // DisconnectInfo that says whether the client will reconnect.
  Task<void> connect(CoAwaitSafe<ConnectionCallback> on_connect = nullptr,
                     CoAwaitSafe<DisconnectCallback> on_disconnect = nullptr, CoAwaitSafe<ErrorCallback> on_error = nullptr);

  // Runs when a channel comes back from a reconnect without the publications it missed
  // (new epoch, history too short), after the WARNING line; nullptr removes it.
  void on_gap(GapCallback callback);
  // Asked for the token at every connect attempt and refresh instead of reading
  // config.jwt_token; an empty function reads config.jwt_token again.
  void set_token_provider(std::function<std::string()> provider);
  // Disconnects the client (kept) and empties the registry.
  Task<void> disconnect();

  // Generic subscription to any channel string.
  Task<SubscriptionPtr> subscribe(std::string channel, CoAwaitSafe<PublicationCallback> callback);
  // Stops the subscription and removes it from the registry; nothing happens when inactive.
  Task<void> unsubscribe(TolbuSubscription& subscription);
  // The same through the shared pointer; TypeError for null.
  Task<void> unsubscribe(const SubscriptionPtr& subscription);
  // Unsubscribes every registered channel.
  Task<void> unsubscribe_all();

  // `market:Depth:<symbol>`, the payload as a Depth; empty payloads skipped. `listener_id` is
  // accepted and has no effect, here and below.
  Task<SubscriptionPtr> subscribe_depth(std::string symbol, CoAwaitSafe<DepthCallback> callback,
                                        std::optional<std::string> listener_id = std::nullopt);
  // `market:OHLCV:<symbol>:<resolution>`, the payload as a Candle, prices divided by 1000 on
  // request; empty payloads skipped.
  Task<SubscriptionPtr> subscribe_candles(std::string symbol, int resolution,
                                          CoAwaitSafe<CandleCallback> callback, bool divide_price = false,
                                          std::optional<std::string> listener_id = std::nullopt);
  // `market:ProductInfo:<symbol>`, the payload as a ProductInfo; empty payloads skipped.
  Task<SubscriptionPtr> subscribe_product_info(
      std::string symbol, CoAwaitSafe<ProductInfoCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);
  // `market:ProductStat:<symbol>`, the payload as a ProductStat; empty payloads skipped.
  Task<SubscriptionPtr> subscribe_product_stat(
      std::string symbol, CoAwaitSafe<ProductStatCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);
  // `market:TradeLog:<symbol>`, the payload unchanged.
  Task<SubscriptionPtr> subscribe_trade_log(std::string symbol, CoAwaitSafe<PublicationCallback> callback,
                                            std::optional<std::string> listener_id = std::nullopt);
  // The same as subscribe_trade_log.
  Task<SubscriptionPtr> subscribe_market_trades(
      std::string symbol, CoAwaitSafe<PublicationCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);
  // `order:OrderExecutionReport:<connection_id>`, the payload unchanged.
  Task<SubscriptionPtr> subscribe_order_execution_report(
      std::string connection_id, CoAwaitSafe<PublicationCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);
  // `algo:AlgoMaster|AlgoOrder|AlgoPosition:<account_id>`, the payload unchanged.
  Task<SubscriptionPtr> subscribe_algo_master(
      std::string account_id, CoAwaitSafe<PublicationCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);
  // @copydoc subscribe_algo_master
  Task<SubscriptionPtr> subscribe_algo_order(std::string account_id, CoAwaitSafe<PublicationCallback> callback,
                                             std::optional<std::string> listener_id = std::nullopt);
  // @copydoc subscribe_algo_master
  Task<SubscriptionPtr> subscribe_algo_position(
      std::string account_id, CoAwaitSafe<PublicationCallback> callback,
      std::optional<std::string> listener_id = std::nullopt);

  // Inspection: the registry and the current client (null before the first connect).
  const SubscriptionRegistry& subscriptions() const;
  // @copydoc subscriptions
  std::shared_ptr<platform::centrifuge::Client> client() const;

  struct State;

 private:
  // Create a subscription asynchronously.
  Task<SubscriptionPtr> _subscribe(std::string channel, std::string data_type, std::string data_id,
                                   PublicationCallback callback,
                                   std::optional<std::string> listener_id = std::nullopt);
  // Create a subscription to a full channel name string.
  Task<SubscriptionPtr> _subscribe_channel(std::string channel_name, PublicationCallback callback);

  std::shared_ptr<State> _state;  // shared with the handlers bound to this stream
};

}  // namespace tolbu_sdk::features
