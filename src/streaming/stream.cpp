// TolbuStream: the connection, the registry's registration and unsubscription, and the
// dispatch of publications to the callbacks of a record.

#include <fmt/format.h>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/this_coro.hpp>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::features {

namespace asio = boost::asio;
namespace json = boost::json;
namespace cf = platform::centrifuge;

namespace {

logging::Logger& logger() {
  static logging::Logger& log = logging::get_logger("tolbu_sdk.features.streaming");
  return log;
}

// ['channel', 'pub']
std::string names_text(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += "'" + names[i] + "'";
  }
  return out + "]";
}

asio::awaitable<bool> cancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

struct TolbuStream::State {
  std::shared_ptr<cf::Client> _client;
  SubscriptionRegistry _subscriptions;
  ConnectionCallback _on_connect;
  ConnectionCallback _on_disconnect;
  ErrorCallback _on_error;

  asio::awaitable<void> _handle_connected(const cf::ConnectedContext& ctx) {
    logger().info("Centrifuge Connected: {}", ctx.to_string());
    if (_on_connect) {
      auto cb = _on_connect;  // may be replaced by a connect() while it runs
      co_await cb();
    }
  }

  asio::awaitable<void> _handle_disconnected(const cf::DisconnectedContext& ctx) {
    logger().info("Centrifuge Disconnected: {}", ctx.to_string());
    if (_on_disconnect) {
      auto cb = _on_disconnect;
      co_await cb();
    }
  }

  asio::awaitable<void> _handle_error(const cf::ErrorContext& ctx) {
    const auto text = ctx.to_string();
    logger().error("Centrifuge Error: {}", text);
    if (_on_error) {
      auto cb = _on_error;
      const RuntimeError error(text);  // the callback never sees the client's own context
      co_await cb(error);
    }
  }
};

namespace {

using StatePtr = std::shared_ptr<TolbuStream::State>;
using RecordPtr = std::shared_ptr<TolbuSubscription>;

// The handlers hold the stream weakly: a client that outlives its stream finds nobody.
cf::ClientEventHandler stream_handlers(const StatePtr& state) {
  std::weak_ptr<TolbuStream::State> weak = state;
  cf::ClientEventHandler h;
  h.on_connected = [weak](const cf::ConnectedContext& ctx) -> asio::awaitable<void> {
    if (auto s = weak.lock()) co_await s->_handle_connected(ctx);
  };
  h.on_disconnected = [weak](const cf::DisconnectedContext& ctx) -> asio::awaitable<void> {
    if (auto s = weak.lock()) co_await s->_handle_disconnected(ctx);
  };
  h.on_error = [weak](const cf::ErrorContext& ctx) -> asio::awaitable<void> {
    if (auto s = weak.lock()) co_await s->_handle_error(ctx);
  };
  return h;
}

// Hands one publication of channel C to every callback of record R, in order.
asio::awaitable<void> on_publication(std::weak_ptr<TolbuSubscription> weak,
                                     const std::string& channel,
                                     const cf::PublicationContext& ctx) {
  std::exception_ptr failure;  // of the handler itself, past the callbacks' own guard
  std::string failure_text;
  try {
    const json::value* payload = nullptr;
    json::value pub_value;
    if (ctx.data) {
      payload = &*ctx.data;
    } else if (ctx.pub && ctx.pub->data) {
      payload = &*ctx.pub->data;
    } else {
      logger().warning("Publication event missing data attribute. Attrs: {}",
                       names_text(ctx.member_names()));
      if (!ctx.pub) co_return;
      pub_value = ctx.pub->to_json();
      payload = &pub_value;
    }
    auto record = weak.lock();
    if (!record || record->callbacks.empty()) co_return;
    // Index walk over the live sequence: callbacks added during an await are reached too.
    for (std::size_t i = 0; i < record->callbacks.size(); ++i) {
      const PublicationCallback cb = record->callbacks[i];
      std::exception_ptr error;
      std::string error_text;
      try {
        if (!cb) continue;
        if (cb.is_async()) {
          co_await cb.invoke_async(*payload);
        } else {
          cb.invoke(*payload);
        }
      } catch (const std::exception& e) {
        error = std::current_exception();
        error_text = e.what();
      } catch (...) {
        error = std::current_exception();
        error_text = "unknown error";
      }
      if (error) {
        if (co_await cancelled()) std::rethrow_exception(error);
        logger().error("Error in subscription callback {} for {}: {}", cb.name(), channel,
                       error_text);
      }
    }
  } catch (const std::exception& e) {
    failure = std::current_exception();
    failure_text = e.what();
  }
  if (failure) {
    if (co_await cancelled()) std::rethrow_exception(failure);
    logger().error("Error in subscription handler for {}: {}", channel, failure_text);
  }
}

cf::SubscriptionEventHandler record_handlers(const RecordPtr& record) {
  std::weak_ptr<TolbuSubscription> weak = record;
  const std::string channel = record->channel_name;
  cf::SubscriptionEventHandler h;
  h.on_publication = [weak, channel](const cf::PublicationContext& ctx) {
    return on_publication(weak, channel, ctx);
  };
  h.on_subscribed = [channel](const cf::SubscribedContext& ctx) -> asio::awaitable<void> {
    logger().debug("Subscribed to {}: {}", channel, ctx.to_string());
    co_return;
  };
  h.on_error = [channel](const cf::SubscriptionErrorContext& ctx) -> asio::awaitable<void> {
    logger().error("Subscription error {}: {}", channel, ctx.to_string());
    co_return;
  };
  return h;
}

}  // namespace

TolbuStream::TolbuStream(const TolbuConfig& cfg) : config(cfg), _state(std::make_shared<State>()) {}

TolbuStream::~TolbuStream() = default;

bool TolbuStream::connected() const {
  return _state->_client && _state->_client->state() == cf::ClientState::CONNECTED;
}

asio::awaitable<void> TolbuStream::connect(ConnectionCallback on_connect,
                                           ConnectionCallback on_disconnect,
                                           ErrorCallback on_error) {
  auto state = _state;
  state->_on_connect = std::move(on_connect);
  state->_on_disconnect = std::move(on_disconnect);
  state->_on_error = std::move(on_error);

  cf::ClientOptions options;  // the header map stays empty
  if (config.jwt_token && !config.jwt_token->empty()) options.token = *config.jwt_token;

  auto executor = co_await asio::this_coro::executor;
  // The previous client, if any, lives on while records of it exist.
  state->_client =
      cf::Client::create(executor, config.streaming_ws, stream_handlers(state), std::move(options));
  logger().info("Connecting to {} (Async)...", config.streaming_ws);
  auto client = state->_client;
  co_await client->connect();
}

asio::awaitable<void> TolbuStream::disconnect() {
  auto state = _state;
  if (auto client = state->_client) co_await client->disconnect();
  state->_subscriptions.clear();
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::_subscribe(
    std::string channel, std::string data_type, std::string data_id, PublicationCallback callback,
    std::optional<std::string> listener_id) {
  (void)listener_id;  // accepted and without effect
  std::string channel_name = channel + ":" + data_type + ":" + data_id;
  co_return co_await _subscribe_channel(std::move(channel_name), std::move(callback));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::_subscribe_channel(
    std::string channel_name, PublicationCallback callback) {
  auto state = _state;
  auto client = state->_client;
  if (!client) throw RuntimeError("Client not initialized. Call connect() first.");
  if (!callback) throw TypeError("callback must be a callable, got an empty callback");

  if (auto existing = state->_subscriptions.find(channel_name)) {
    logger().info("Subscription to {} exists. Adding callback.", channel_name);
    existing->callbacks.push_back(std::move(callback));
    co_return existing;
  }
  logger().info("Subscribing to {}...", channel_name);
  auto record = std::make_shared<TolbuSubscription>();
  record->channel_name = channel_name;
  record->callbacks.push_back(std::move(callback));
  state->_subscriptions.insert(record);

  std::shared_ptr<cf::Subscription> sub;
  try {
    sub = client->new_subscription(channel_name, record_handlers(record));
  } catch (...) {
    // A record without a server subscription would swallow every later registration.
    if (state->_subscriptions.find(channel_name) == record) {
      state->_subscriptions.erase(channel_name);
    }
    throw;
  }
  record->sub_obj = sub;
  co_await sub->subscribe();
  co_return record;
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe(std::string channel,
                                                                     PublicationCallback callback) {
  co_return co_await _subscribe_channel(std::move(channel), std::move(callback));
}

asio::awaitable<void> TolbuStream::unsubscribe(TolbuSubscription& subscription) {
  if (!subscription.active || !subscription.sub_obj) co_return;
  auto state = _state;
  auto sub = subscription.sub_obj;
  co_await sub->unsubscribe();
  subscription.active = false;
  state->_subscriptions.erase(subscription.channel_name);
}

asio::awaitable<void> TolbuStream::unsubscribe(const SubscriptionPtr& subscription) {
  if (!subscription) throw TypeError("subscription must be a TolbuSubscription, got null");
  auto keep = subscription;
  co_await unsubscribe(*keep);
}

asio::awaitable<void> TolbuStream::unsubscribe_all() {
  auto state = _state;
  for (auto& record : state->_subscriptions.records()) co_await unsubscribe(*record);
}

const SubscriptionRegistry& TolbuStream::subscriptions() const { return _state->_subscriptions; }

std::shared_ptr<cf::Client> TolbuStream::client() const { return _state->_client; }

}  // namespace tolbu_sdk::features
