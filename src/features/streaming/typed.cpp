// The typed subscriptions: one channel family per kind of data. Four of them convert the
// payload into a record first, through a converter registered in the strategy's stead.

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>
#include <string>

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace tolbu_sdk::features {

namespace asio = boost::asio;
namespace json = boost::json;

namespace {

// The candle converter's price rule: true division, so integer prices become doubles too.
void divide_prices(types::Candle& candle) {
  candle.open = candle.open / 1000.0;
  candle.high = candle.high / 1000.0;
  candle.low = candle.low / 1000.0;
  candle.close = candle.close / 1000.0;
}

// The `wrapper` of a converting subscription: skips empty payloads, builds the record and
// hands it to the strategy's callback. It is asynchronous only when that callback is, so a
// plain callback costs no coroutine per publication.
template <typename Record, typename Callback>
PublicationCallback converter(Callback callback, bool divide_price, const char* operation) {
  if (!callback) throw TypeError("callback must be a callable, got an empty callback");
  auto name = std::string(operation) + ".wrapper(" + callback.name() + ")";
  if (callback.is_async()) {
    return PublicationCallback(
        [callback, divide_price](const json::value& data) -> asio::awaitable<void> {
          if (platform::is_empty(data)) co_return;
          auto record = Record::from_dict(data);
          if constexpr (std::is_same_v<Record, types::Candle>) {
            if (divide_price) divide_prices(record);
          }
          co_await callback.invoke_async(record);
        },
        std::move(name));
  }
  return PublicationCallback(
      [callback, divide_price](const json::value& data) {
        if (platform::is_empty(data)) return;
        auto record = Record::from_dict(data);
        if constexpr (std::is_same_v<Record, types::Candle>) {
          if (divide_price) divide_prices(record);
        }
        callback.invoke(record);
      },
      std::move(name));
}

}  // namespace

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_depth(
    std::string symbol, CoAwaitSafe<DepthCallback> callback, std::optional<std::string> listener_id) {
  auto wrapper = converter<types::Depth>(std::move(callback), false, "subscribe_depth");
  co_return co_await _subscribe(Channels::MARKET, DataTypes::DEPTH, std::move(symbol),
                                std::move(wrapper), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_candles(
    std::string symbol, int resolution, CoAwaitSafe<CandleCallback> callback, bool divide_price,
    std::optional<std::string> listener_id) {
  auto wrapper = converter<types::Candle>(std::move(callback), divide_price, "subscribe_candles");
  auto data_id = std::move(symbol) + ":" + std::to_string(resolution);
  co_return co_await _subscribe(Channels::MARKET, DataTypes::OHLCV, std::move(data_id),
                                std::move(wrapper), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_product_info(
    std::string symbol, CoAwaitSafe<ProductInfoCallback> callback, std::optional<std::string> listener_id) {
  auto wrapper =
      converter<types::ProductInfo>(std::move(callback), false, "subscribe_product_info");
  co_return co_await _subscribe(Channels::MARKET, DataTypes::PRODUCT_INFO, std::move(symbol),
                                std::move(wrapper), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_product_stat(
    std::string symbol, CoAwaitSafe<ProductStatCallback> callback, std::optional<std::string> listener_id) {
  auto wrapper =
      converter<types::ProductStat>(std::move(callback), false, "subscribe_product_stat");
  co_return co_await _subscribe(Channels::MARKET, DataTypes::PRODUCT_STAT, std::move(symbol),
                                std::move(wrapper), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_trade_log(
    std::string symbol, CoAwaitSafe<PublicationCallback> callback, std::optional<std::string> listener_id) {
  co_return co_await _subscribe(Channels::MARKET, DataTypes::TRADE_LOG, std::move(symbol),
                                std::move(callback), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_market_trades(
    std::string symbol, CoAwaitSafe<PublicationCallback> callback, std::optional<std::string> listener_id) {
  co_return co_await subscribe_trade_log(std::move(symbol), std::move(callback),
                                         std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_order_execution_report(
    std::string connection_id, CoAwaitSafe<PublicationCallback> callback,
    std::optional<std::string> listener_id) {
  co_return co_await _subscribe(Channels::ORDER, DataTypes::ORDER_EXECUTION_REPORT,
                                std::move(connection_id), std::move(callback),
                                std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_algo_master(
    std::string account_id, CoAwaitSafe<PublicationCallback> callback, std::optional<std::string> listener_id) {
  co_return co_await _subscribe(Channels::ALGO, DataTypes::ALGO_MASTER, std::move(account_id),
                                std::move(callback), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_algo_order(
    std::string account_id, CoAwaitSafe<PublicationCallback> callback, std::optional<std::string> listener_id) {
  co_return co_await _subscribe(Channels::ALGO, DataTypes::ALGO_ORDER, std::move(account_id),
                                std::move(callback), std::move(listener_id));
}

asio::awaitable<TolbuStream::SubscriptionPtr> TolbuStream::subscribe_algo_position(
    std::string account_id, CoAwaitSafe<PublicationCallback> callback, std::optional<std::string> listener_id) {
  co_return co_await _subscribe(Channels::ALGO, DataTypes::ALGO_POSITION, std::move(account_id),
                                std::move(callback), std::move(listener_id));
}

}  // namespace tolbu_sdk::features
