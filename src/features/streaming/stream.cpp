// TolbuStream: the connection, the registry's registration and unsubscription, and the
// dispatch of publications to the callbacks of a record.

#include <fmt/format.h>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/this_coro.hpp>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace tolbu_sdk::features {

namespace asio = boost::asio;
namespace json = boost::json;
namespace cf = platform::centrifuge;

asio::awaitable<void> DisconnectCallback::operator()(const DisconnectInfo& info) const {
  if (detailed_) {
    co_await detailed_(info);
  } else if (plain_) {
    co_await plain_();
  }
}

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
  DisconnectCallback _on_disconnect;
  ErrorCallback _on_error;
  GapCallback _on_gap;
  std::function<std::string()> _token_provider;
  const TolbuConfig* _config = nullptr;

  std::string current_token() const {
    if (_token_provider) return _token_provider();
    return _config && _config->jwt_token ? *_config->jwt_token : std::string();
  }

  // A record the server ended for good: out of the registry, so that a later subscribe of
  // the channel asks the server again instead of joining a dead record.
  void end_record(TolbuSubscription& record, std::uint32_t code, std::string_view reason) {
    if (!record.active) return;
    record.active = false;
    if (auto current = _subscriptions.find(record.channel_name); current.get() == &record) {
      _subscriptions.erase(record.channel_name);
    }
    logger().warning("Subscription to {} ended by the server: {} {}", record.channel_name, code,
                     reason);
  }

  asio::awaitable<void> report_gap(const std::string& channel, const cf::SubscribedContext& ctx) {
    logger().warning(
        "Publications on {} missed while disconnected could not be recovered (epoch '{}', "
        "offset {}); reconcile from REST",
        channel, ctx.epoch, ctx.offset);
    if (_on_gap) {
      auto cb = _on_gap;
      co_await cb(channel);
    }
  }

  asio::awaitable<void> _handle_connected(const cf::ConnectedContext& ctx) {
    logger().info("Centrifuge Connected: {}", ctx.to_string());
    if (_on_connect) {
      auto cb = _on_connect;  // may be replaced by a connect() while it runs
      co_await cb();
    }
  }

  asio::awaitable<void> _handle_disconnected(const cf::DisconnectedContext& ctx) {
    logger().info("Centrifuge Disconnected: {}", ctx.to_string());
    if (!ctx.reconnect && ctx.code != cf::codes::DISCONNECT_CALLED) {
      // Final: nothing registered will receive again.
      for (auto& record : _subscriptions.records()) end_record(*record, ctx.code, ctx.reason);
    }
    if (_on_disconnect) {
      auto cb = _on_disconnect;
      const DisconnectInfo info{ctx.code, ctx.reason, ctx.reconnect};  // named: see connect()
      co_await cb(info);
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

asio::awaitable<void> on_publication(std::weak_ptr<TolbuSubscription> weak,
                                     const std::string& channel, const cf::PublicationContext& ctx);

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
  // Server-side subscriptions reach the callbacks registered under their channel.
  h.on_server_publication = [weak](const cf::PublicationContext& ctx) -> asio::awaitable<void> {
    auto s = weak.lock();
    if (!s) co_return;
    auto record = s->_subscriptions.find(ctx.channel);
    if (!record) {
      logger().debug("Publication on the server-side channel {} without callbacks", ctx.channel);
      co_return;
    }
    co_await on_publication(record, record->channel_name, ctx);
  };
  h.on_server_subscribed = [weak](const cf::SubscribedContext& ctx) -> asio::awaitable<void> {
    logger().info("Server-side subscription to {}: {}", ctx.channel, ctx.to_string());
    if (ctx.was_recovering && !ctx.recovered) {
      if (auto s = weak.lock()) co_await s->report_gap(ctx.channel, ctx);
    }
  };
  h.on_server_unsubscribed = [weak](const cf::UnsubscribedContext& ctx) -> asio::awaitable<void> {
    auto s = weak.lock();
    if (!s) co_return;
    auto record = s->_subscriptions.find(ctx.channel);
    if (record && !record->sub_obj) s->end_record(*record, ctx.code, ctx.reason);
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

cf::SubscriptionEventHandler record_handlers(const RecordPtr& record, const StatePtr& state) {
  std::weak_ptr<TolbuSubscription> weak = record;
  std::weak_ptr<TolbuStream::State> weak_state = state;
  const std::string channel = record->channel_name;
  cf::SubscriptionEventHandler h;
  h.on_publication = [weak, channel](const cf::PublicationContext& ctx) {
    return on_publication(weak, channel, ctx);
  };
  h.on_subscribed = [channel,
                     weak_state](const cf::SubscribedContext& ctx) -> asio::awaitable<void> {
    logger().debug("Subscribed to {}: {}", channel, ctx.to_string());
    if (ctx.recovered && ctx.recovered_publications > 0) {
      logger().info("Recovered {} publications on {}", ctx.recovered_publications, channel);
    } else if (ctx.was_recovering && !ctx.recovered) {
      if (auto s = weak_state.lock()) co_await s->report_gap(channel, ctx);
    }
  };
  h.on_unsubscribed = [weak,
                       weak_state](const cf::UnsubscribedContext& ctx) -> asio::awaitable<void> {
    if (ctx.code == cf::codes::UNSUBSCRIBE_CALLED) co_return;  // ours: unsubscribe() tells
    auto record = weak.lock();
    auto s = weak_state.lock();
    if (record && s) s->end_record(*record, ctx.code, ctx.reason);
  };
  h.on_error = [channel](const cf::SubscriptionErrorContext& ctx) -> asio::awaitable<void> {
    logger().error("Subscription error {}: {}", channel, ctx.to_string());
    co_return;
  };
  return h;
}

}  // namespace

TolbuStream::TolbuStream(const TolbuConfig& cfg) : config(cfg), _state(std::make_shared<State>()) {
  _state->_config = &config;
}

TolbuStream::~TolbuStream() { _state->_config = nullptr; }

void TolbuStream::on_gap(GapCallback callback) { _state->_on_gap = std::move(callback); }

void TolbuStream::set_token_provider(std::function<std::string()> provider) {
  _state->_token_provider = std::move(provider);
}

bool TolbuStream::connected() const {
  return _state->_client && _state->_client->state() == cf::ClientState::CONNECTED;
}

asio::awaitable<void> TolbuStream::connect(CoAwaitSafe<ConnectionCallback> on_connect,
                                           CoAwaitSafe<DisconnectCallback> on_disconnect,
                                           CoAwaitSafe<ErrorCallback> on_error) {
  auto state = _state;
  state->_on_connect = std::move(on_connect);
  state->_on_disconnect = std::move(on_disconnect);
  state->_on_error = std::move(on_error);

  cf::ClientOptions options;  // the header map stays empty
  if (config.jwt_token && !config.jwt_token->empty()) options.token = *config.jwt_token;
  if (state->_token_provider) options.token = state->_token_provider();
  // Every reconnect and refresh takes the token the strategy holds then.
  options.get_token = [weak = std::weak_ptr<State>(state), fallback = options.token] {
    auto s = weak.lock();
    return s ? s->current_token() : fallback;
  };

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
  if (client->has_server_subscription(channel_name)) {
    // The server subscribed us itself: its publications find the record by name.
    co_return record;
  }

  std::shared_ptr<cf::Subscription> sub;
  try {
    sub = client->new_subscription(channel_name, record_handlers(record, state));
  } catch (...) {
    // A record without a server subscription would swallow every later registration.
    if (state->_subscriptions.find(channel_name) == record) {
      state->_subscriptions.erase(channel_name);
    }
    throw;
  }
  record->sub_obj = sub;
  try {
    co_await sub->subscribe();
  } catch (const cf::ReplyError& e) {
    if (!e.temporary()) state->end_record(*record, e.code(), e.what());
    throw;
  }
  co_return record;
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe(std::string channel,
                                                                     CoAwaitSafe<PublicationCallback> callback) {
  co_return co_await _subscribe_channel(std::move(channel), std::move(callback));
}

asio::awaitable<void> TolbuStream::unsubscribe(TolbuSubscription& subscription) {
  if (!subscription.active) co_return;
  auto state = _state;
  if (!subscription.sub_obj) {
    // A server-side channel: the server keeps it, we stop listening.
    subscription.active = false;
    if (state->_subscriptions.find(subscription.channel_name).get() == &subscription) {
      state->_subscriptions.erase(subscription.channel_name);
    }
    co_return;
  }
  // Out of the registry before the server is asked: a subscribe of the channel made while
  // we wait for the reply must not join a record that is about to end.
  if (state->_subscriptions.find(subscription.channel_name).get() == &subscription) {
    state->_subscriptions.erase(subscription.channel_name);
  }
  auto sub = subscription.sub_obj;
  subscription.active = false;
  co_await sub->unsubscribe();
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
