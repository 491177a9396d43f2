#pragma once
// Market data over REST: candle history from the micro API, latest and closing prices, daily
// candles, product master data and margin ratios.
//
//   tolbu_sdk::features::MarketDataService prices(config);
//   auto candles = prices.fetch_candles("VN30F2412", TimeResolution::MINUTE_1, from_ms, to_ms);
//   double margin = prices.get_margin_rate("VN30F2412");
//
// Each operation comes in two forms sharing one code path (same URLs, headers, log lines,
// results and failures):
//   - the plain form blocks the calling thread until the exchange ends (from the event loop's
//     thread it blocks the loop);
//   - the awaitable twin async_<operation> runs on the event loop of the coroutine that awaits
//     it and suspends instead of blocking, so market data keeps flowing; several may be in
//     flight at once on one loop. The service must outlive the calls it has in flight.
// An unsuccessful status is logged ("Request failed: ...") and gives an empty result;
// transport failures (TransportError), bodies that are not JSON (ValueError) and malformed
// records propagate. Logger: "tolbu_sdk.features.prices".

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/platform/http_options.hpp"
#include "tolbu_sdk/types/records.hpp"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sdk::platform::http {
class Client;
}  // namespace tolbu_sdk::platform::http

namespace tolbu_sdk::features {

// Market data over REST: candle history, latest and closing prices, master data, margin.
class TOLBU_API MarketDataService {
 public:
  // Copies the two base URLs; keeps a reference to config, whose jwt_token is read on every
  // authenticated request. http sets the connect and stall timeouts and connection reuse.
  explicit MarketDataService(const TolbuConfig& config, platform::http::Options http = {});
  // A temporary configuration would be gone before the first request reads it.
  MarketDataService(TolbuConfig&&, platform::http::Options = {}) = delete;
  ~MarketDataService();
  MarketDataService(const MarketDataService&) = delete;
  MarketDataService& operator=(const MarketDataService&) = delete;

  // Candles of resolution seconds starting in [from_ts, to_ts] (epoch ms), in the order the
  // back end sends them; with count_back (not 0) the back end limits their number. With
  // divide_price, open, high, low and close are divided by 1000.
  std::vector<types::Candle> fetch_candles(std::string_view symbol, std::int64_t resolution,
                                           std::int64_t from_ts, std::int64_t to_ts,
                                           bool divide_price = false,
                                           std::optional<std::int64_t> count_back = std::nullopt);

  // Close of the last minute candle of the past 24 hours, else of the last daily candle of
  // the same window; absent when neither exists.
  std::optional<double> get_latest_price(std::string_view symbol);

  // Close of the daily candle of date's calendar day (local time).
  std::optional<double> get_closing_price(std::string_view symbol, platform::LocalDateTime date);

  // One request per symbol, in order; symbols without a price are left out.
  std::map<std::string, double> get_closing_prices(const std::vector<std::string>& symbols,
                                                   platform::LocalDateTime date);

  // Daily candles from start_date to end_date (converted exactly, not rounded to days).
  std::vector<types::Candle> get_daily_candles(std::string_view symbol,
                                               platform::LocalDateTime start_date,
                                               platform::LocalDateTime end_date);

  // The instrument's master record (authenticated); absent when the back end has none.
  std::optional<types::ProductMaster> get_product_master(std::string_view symbol);

  // The instrument's margin ratio (authenticated). Never fails: on any trouble it answers
  // 0.15 for codes containing "VN30" or "F", 1.0 otherwise.
  double get_margin_rate(std::string_view symbol);

  // The ratio get_margin_rate falls back to.
  static double fallback_margin_rate(std::string_view symbol);

  // The awaitable twins of the operations above.
  platform::detail::awaitable<std::vector<types::Candle>> async_fetch_candles(
      std::string symbol, std::int64_t resolution, std::int64_t from_ts, std::int64_t to_ts,
      bool divide_price = false, std::optional<std::int64_t> count_back = std::nullopt);
  // @copydoc get_latest_price
  platform::detail::awaitable<std::optional<double>> async_get_latest_price(std::string symbol);
  // @copydoc get_closing_price
  platform::detail::awaitable<std::optional<double>> async_get_closing_price(
      std::string symbol, platform::LocalDateTime date);
  // @copydoc get_closing_prices
  platform::detail::awaitable<std::map<std::string, double>> async_get_closing_prices(
      std::vector<std::string> symbols, platform::LocalDateTime date);
  // @copydoc get_daily_candles
  platform::detail::awaitable<std::vector<types::Candle>> async_get_daily_candles(
      std::string symbol, platform::LocalDateTime start_date, platform::LocalDateTime end_date);
  // @copydoc get_product_master
  platform::detail::awaitable<std::optional<types::ProductMaster>> async_get_product_master(
      std::string symbol);
  // @copydoc get_margin_rate
  platform::detail::awaitable<double> async_get_margin_rate(std::string symbol);

  // The configuration; its jwt_token is read on every authenticated request.
  const TolbuConfig& config;

 private:
  // The answer's value allocates from storage (default resource when null).
  std::optional<boost::json::value> _request(const std::string& url, bool authenticated,
                                             boost::json::storage_ptr storage);
  platform::detail::awaitable<std::optional<boost::json::value>> _async_request(
      std::string url, bool authenticated, boost::json::storage_ptr storage);

  std::string _micro_api_url;
  std::string _rest_api_url;
  std::unique_ptr<platform::http::Client> _http;
};

}  // namespace tolbu_sdk::features
