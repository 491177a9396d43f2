#pragma once
// The configuration object handed to the services, and the constant groups that name the
// streaming channels.
//
// Built from the SDK's built-in endpoints:
//   tolbu_sdk::TolbuConfig config;                      // or TolbuConfig::from_defaults(jwt)
//   config.jwt_token = login_token;
// or from explicit endpoints (a local back end, a staging deployment):
//   auto config = tolbu_sdk::TolbuConfig::from_endpoints(
//       "http://127.0.0.1:8080", "http://127.0.0.1:8080/micro", "ws://127.0.0.1:8080/ws", jwt);
//
// The services copy the two REST base URLs when they are constructed and read `streaming_ws`
// at each connect and `jwt_token` on every request, so a refreshed token takes effect at once.
// An empty token counts as no token.

#include <optional>
#include <string>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/utils/defaults.hpp"

// The Tolbu C++ SDK: the configuration, the errors and the control API; each module has a
// namespace of its own inside.
namespace tolbu_sdk {

// Where the back end is and who the user is: the REST bases, the streaming address, the token.
struct TOLBU_API TolbuConfig {
  // Base URL of the main REST service, without a trailing "/": "/api/v1/..." is appended.
  std::string rest_api_url =
      std::string(utils::DEFAULT_PROTOCOL) + "://" + utils::DEFAULT_BACKEND_SERVER;
  // Base URL of the market-data (micro API) service, without a trailing "/".
  std::string micro_api_url = utils::DEFAULT_MICRO_CONTROL;
  // WebSocket address of the real-time server, used unchanged.
  std::string streaming_ws = utils::DEFAULT_STREAMING_WS;
  // The user's bearer token; absent or empty means not logged in.
  std::optional<std::string> jwt_token{};

  // The built-in endpoints of the defaults module.
  static TolbuConfig from_defaults(std::optional<std::string> jwt_token = std::nullopt);

  // Explicit endpoints. REST bases must be http(s) URLs and the streaming address a ws(s)
  // URL, or all of them inproc:// URLs of a sim linked into the program; trailing "/" of the REST bases are dropped so that appended paths stay well formed.
  // Throws ValueError naming the member for an empty or malformed endpoint.
  static TolbuConfig from_endpoints(std::string rest_api_url, std::string micro_api_url,
                                    std::string streaming_ws,
                                    std::optional<std::string> jwt_token = std::nullopt);

  // True when a non-empty token is set.
  bool has_token() const noexcept { return jwt_token.has_value() && !jwt_token->empty(); }

  // Every member equal.
  bool operator==(const TolbuConfig&) const = default;
};

// Channel families of the streaming server. A full channel name is
// channel ":" data type ":" identifier, e.g. "order:MarginCall:USER123", and for candles
// "market:OHLCV:VN30F1M:60" (symbol and resolution in seconds).
struct TOLBU_API Channels {
  // Market data: depth, candles, product information and statistics, trades.
  static constexpr const char* MARKET = "market";
  // Order events.
  static constexpr const char* ORDER = "order";
  // Algorithm records.
  static constexpr const char* ALGO = "algo";
};

// Data types of the streaming channels, by channel family.
struct TOLBU_API DataTypes {
  // `market:<type>:<symbol>`: the order book.
  static constexpr const char* DEPTH = "Depth";
  // Candles; the identifier is `<symbol>:<resolution>`.
  static constexpr const char* OHLCV = "OHLCV";
  // Trading rules.
  static constexpr const char* PRODUCT_INFO = "ProductInfo";
  // Session statistics.
  static constexpr const char* PRODUCT_STAT = "ProductStat";
  // Trades on the market.
  static constexpr const char* TRADE_LOG = "TradeLog";
  // `order:<type>:<connection or account id>`: order events of a connection.
  static constexpr const char* ORDER_EXECUTION_REPORT = "OrderExecutionReport";
  // Margin calls.
  static constexpr const char* MARGIN_CALL = "MarginCall";
  // `algo:<type>:<account id>`: the algorithm records of an account.
  static constexpr const char* ALGO_MASTER = "AlgoMaster";
  // The algorithm's orders.
  static constexpr const char* ALGO_ORDER = "AlgoOrder";
  // The algorithm's positions.
  static constexpr const char* ALGO_POSITION = "AlgoPosition";
};

// Candle lengths in seconds.
struct TOLBU_API TimeResolution {
  // @name Resolutions
  //@{
  // One second to one week.
  static constexpr int SECOND_1 = 1;
  static constexpr int MINUTE_1 = 60;
  static constexpr int MINUTE_5 = 300;
  static constexpr int MINUTE_15 = 900;
  static constexpr int MINUTE_30 = 1800;
  static constexpr int HOUR_1 = 3600;
  static constexpr int HOUR_4 = 14400;
  static constexpr int DAY_1 = 86400;
  static constexpr int WEEK_1 = 604800;
  //@}
};

}  // namespace tolbu_sdk
