#include "tolbu_sdk/features/prices.hpp"

#include "../../platform/common/json_fields.hpp"

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <cmath>

namespace tolbu_sdk::features {

namespace asio = boost::asio;
namespace http = platform::http;
namespace json = boost::json;
using platform::kind_name;

namespace {

logging::Logger& logger() {
  static logging::Logger& log = logging::get_logger("tolbu_sdk.features.prices");
  return log;
}

// A JSON number, or a text holding a decimal number.
double ratio_value(const json::value& v) {
  double value = 0;
  if (v.is_number()) {
    value = v.to_number<double>();
  } else if (v.is_string()) {
    // Decimal text only, whatever the process locale: "0x10" is no ratio.
    auto decimal = platform::read_decimal(v.as_string());
    if (!decimal)
      throw ValueError("could not convert string to float: '" + std::string(v.as_string()) + "'");
    value = *decimal;
  } else {
    throw TypeError(std::string("marginRatio must be a number or a decimal text, got ") +
                    kind_name(v));
  }
  // A NaN or infinite ratio would poison every position size computed from it.
  if (!std::isfinite(value)) throw ValueError("marginRatio is not a finite number");
  return value;
}

}  // namespace

MarketDataService::MarketDataService(const TolbuConfig& config_, http::Options http_options)
    : config(config_),
      _micro_api_url(config_.micro_api_url),
      _rest_api_url(config_.rest_api_url),
      _http(std::make_unique<http::Client>(http_options)) {}

MarketDataService::~MarketDataService() = default;

std::optional<json::value> MarketDataService::_request(const std::string& url, bool authenticated,
                                                       json::storage_ptr storage) {
  return _http->run(_async_request(url, authenticated, std::move(storage)));
}

asio::awaitable<std::optional<json::value>> MarketDataService::_async_request(
    std::string url, bool authenticated, json::storage_ptr storage) {
  http::Headers headers;
  if (authenticated) {
    if (config.jwt_token && !config.jwt_token->empty()) {
      headers = {{"Content-Type", "application/json"},
                 {"Authorization", "Bearer " + *config.jwt_token}};
    } else {
      logger().warning("Authenticated request to {} missing JWT token", url);
    }
  }
  http::Response response = co_await _http->async_get(url, std::move(headers));
  if (response.ok()) co_return response.json(std::move(storage));
  logger().error("Request failed: {} {} | URL: {} | Response: {}", response.status_code,
                 response.reason, url, http::text_prefix(response.text, 200));
  co_return std::nullopt;
}

std::vector<types::Candle> MarketDataService::fetch_candles(
    std::string_view symbol, std::int64_t resolution, std::int64_t from_ts, std::int64_t to_ts,
    bool divide_price, std::optional<std::int64_t> count_back) {
  return _http->run(async_fetch_candles(std::string(symbol), resolution, from_ts, to_ts,
                                        divide_price, count_back));
}

asio::awaitable<std::vector<types::Candle>> MarketDataService::async_fetch_candles(
    std::string symbol, std::int64_t resolution, std::int64_t from_ts, std::int64_t to_ts,
    bool divide_price, std::optional<std::int64_t> count_back) {
  std::string url = _micro_api_url + "/GetOhlcvHis/" + http::encode_path_segment(symbol) + "/" +
                    std::to_string(resolution) + "/" + std::to_string(from_ts) + "/" +
                    std::to_string(to_ts);
  if (count_back && *count_back != 0) url += "/" + std::to_string(*count_back);

  // The answer is only read while the candles are built: one arena for all of it.
  json::monotonic_resource arena;
  auto result = co_await _async_request(url, false, &arena);
  std::vector<types::Candle> candles;
  if (!result || platform::is_empty(*result)) co_return candles;
  if (!result->is_array())
    throw TypeError(std::string("Candle history must be a JSON array, got ") + kind_name(*result));
  const auto& items = result->as_array();
  candles.reserve(items.size());
  for (const auto& item : items) {
    types::Candle candle = types::Candle::from_dict(item);
    if (divide_price) {
      candle.open /= 1000.0;
      candle.high /= 1000.0;
      candle.low /= 1000.0;
      candle.close /= 1000.0;
    }
    candles.push_back(candle);
  }
  co_return candles;
}

std::optional<double> MarketDataService::get_latest_price(std::string_view symbol) {
  return _http->run(async_get_latest_price(std::string(symbol)));
}

asio::awaitable<std::optional<double>> MarketDataService::async_get_latest_price(
    std::string symbol) {
  std::int64_t now = platform::now_epoch_ms();
  std::int64_t one_day_ago = now - 86'400'000;
  auto minute = co_await async_fetch_candles(symbol, TimeResolution::MINUTE_1, one_day_ago, now);
  if (!minute.empty()) co_return minute.back().close;
  auto daily = co_await async_fetch_candles(symbol, TimeResolution::DAY_1, one_day_ago, now);
  if (!daily.empty()) co_return daily.back().close;
  co_return std::nullopt;
}

std::optional<double> MarketDataService::get_closing_price(std::string_view symbol,
                                                           platform::LocalDateTime date) {
  return _http->run(async_get_closing_price(std::string(symbol), date));
}

asio::awaitable<std::optional<double>> MarketDataService::async_get_closing_price(
    std::string symbol, platform::LocalDateTime date) {
  platform::LocalDateTime start_of_day = platform::local_midnight(date);
  platform::LocalDateTime end_of_day =
      start_of_day + std::chrono::days(1) - std::chrono::milliseconds(1);
  auto candles = co_await async_fetch_candles(symbol, TimeResolution::DAY_1,
                                              platform::to_epoch_ms_int(start_of_day),
                                              platform::to_epoch_ms_int(end_of_day));
  if (candles.empty()) co_return std::nullopt;
  co_return candles.back().close;
}

std::map<std::string, double> MarketDataService::get_closing_prices(
    const std::vector<std::string>& symbols, platform::LocalDateTime date) {
  return _http->run(async_get_closing_prices(symbols, date));
}

asio::awaitable<std::map<std::string, double>> MarketDataService::async_get_closing_prices(
    std::vector<std::string> symbols, platform::LocalDateTime date) {
  std::map<std::string, double> prices;
  for (const auto& symbol : symbols) {
    if (auto price = co_await async_get_closing_price(symbol, date)) prices[symbol] = *price;
  }
  co_return prices;
}

std::vector<types::Candle> MarketDataService::get_daily_candles(std::string_view symbol,
                                                                platform::LocalDateTime start_date,
                                                                platform::LocalDateTime end_date) {
  return _http->run(async_get_daily_candles(std::string(symbol), start_date, end_date));
}

asio::awaitable<std::vector<types::Candle>> MarketDataService::async_get_daily_candles(
    std::string symbol, platform::LocalDateTime start_date, platform::LocalDateTime end_date) {
  co_return co_await async_fetch_candles(symbol, TimeResolution::DAY_1,
                                         platform::to_epoch_ms_int(start_date),
                                         platform::to_epoch_ms_int(end_date));
}

std::optional<types::ProductMaster> MarketDataService::get_product_master(std::string_view symbol) {
  return _http->run(async_get_product_master(std::string(symbol)));
}

asio::awaitable<std::optional<types::ProductMaster>> MarketDataService::async_get_product_master(
    std::string symbol) {
  std::string url =
      _rest_api_url + "/api/v1/MarketData/GetProductMaster/" + http::encode_path_segment(symbol);
  auto result = co_await _async_request(url, true, {});
  if (!result || platform::is_empty(*result)) co_return std::nullopt;
  if (const auto* object = result->if_object()) {
    const json::value* data = platform::find(*object, "data");
    if (data && data->is_object()) co_return types::ProductMaster::from_dict(*data);
  }
  co_return types::ProductMaster::from_dict(*result);
}

double MarketDataService::fallback_margin_rate(std::string_view symbol) {
  if (symbol.find("VN30") != std::string_view::npos) return 0.15;
  if (symbol.find('F') != std::string_view::npos) return 0.15;
  return 1.0;
}

double MarketDataService::get_margin_rate(std::string_view symbol) {
  return _http->run(async_get_margin_rate(std::string(symbol)));
}

asio::awaitable<double> MarketDataService::async_get_margin_rate(std::string symbol) {
  std::string failure;
  try {
    std::string url =
        _rest_api_url + "/api/v1/diagnostics/margin-ratios/" + http::encode_path_segment(symbol);
    auto result = co_await _async_request(url, true, {});
    if (!result || platform::is_empty(*result)) co_return fallback_margin_rate(symbol);
    const json::object* object = result->if_object();
    if (!object)
      throw TypeError(std::string("Margin-ratio answer must be a JSON object, got ") +
                      kind_name(*result));
    const json::value* data = platform::find(*object, "data");
    const json::object& source = data && data->is_object() ? data->as_object() : *object;
    const json::value* ratio = platform::find(source, "marginRatio");
    if (!ratio) co_return 1.0;
    co_return ratio_value(*ratio);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  logger().warning("Failed to fetch margin rate for {}: {}", symbol, failure);
  co_return fallback_margin_rate(symbol);
}

}  // namespace tolbu_sdk::features
