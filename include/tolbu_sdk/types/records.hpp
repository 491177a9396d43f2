#pragma once
// Market and order records exchanged with the back end, each built from its JSON layout by
// `from_dict` and written back to the same layout by `to_json` (the local back end and tests
// produce their payloads that way).
//
// JSON rules shared by every record:
// - the input must be a JSON object (TypeError otherwise);
// - a required key that is missing or null is a ValueError naming the field;
// - a value of the wrong JSON type is a TypeError naming the field;
// - optional keys that are missing or null take the default shown; unknown keys are ignored;
// - numbers are JSON numbers (texts are not parsed); integer fields accept whole-valued
//   doubles and reject fractions or values out of range (ValueError);
// - identifiers ("orderID", "tradeID", ...) accept a text or an integer (kept as its digits);
// - times are epoch milliseconds.
// Error messages read like `Candle: field "open" must be a number, got string`.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/types/records_fwd.hpp"

// The records exchanged with the back end, read from and written to its JSON.
namespace tolbu_sdk::types {

// One OHLCV candle.
// {"time": 1700000000000, "open": 25.1, "high": 25.6, "low": 25.0, "close": 25.4,
//  "volume": 120300}
struct TOLBU_API Candle {
  std::int64_t time = 0;  // "time", required: start of the candle, epoch ms
  double open = 0.0;      // "open", required
  double high = 0.0;      // "high", required
  double low = 0.0;       // "low", required
  double close = 0.0;     // "close", required
  double volume = 0.0;    // "volume", optional (0)

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static Candle from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const Candle&) const = default;
};

// One price level of the order book.
// {"price": 25.1, "qty": 1500}
struct TOLBU_API DepthLevel {
  double price = 0.0;  // "price", required
  double qty = 0.0;    // "qty", required

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static DepthLevel from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const DepthLevel&) const = default;
};

// The top of the order book of one instrument, best level first on each side.
// {"symbol": "VN30F1M", "time": 1700000000000,
//  "bidPriceDepth": [{"price": 1250.1, "qty": 10}, ...],
//  "askPriceDepth": [{"price": 1250.3, "qty": 4}, ...]}
struct TOLBU_API Depth {
  std::string symbol;                         // "symbol", required
  std::int64_t time = 0;                      // "time", optional (0)
  std::vector<DepthLevel> bid_price_depth{};  // "bidPriceDepth", optional ([]), best first
  std::vector<DepthLevel> ask_price_depth{};  // "askPriceDepth", optional ([]), best first

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static Depth from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const Depth&) const = default;
};

// Trading rules of one instrument.
// {"symbol": "VN30F1M", "name": "VN30 futures 1M", "exchange": "HNX",
//  "productType": "FUTURES", "tickSize": 0.1, "lotSize": 1, "currency": "VND",
//  "ceilingPrice": 1337.0, "floorPrice": 1163.0, "referencePrice": 1250.0}
struct TOLBU_API ProductInfo {
  std::string symbol;            // "symbol", required
  std::string name{};            // "name", optional ("")
  std::string exchange{};        // "exchange", optional ("")
  std::string product_type{};    // "productType", optional ("")
  double tick_size = 0.0;        // "tickSize", required: smallest price step
  int lot_size = 0;              // "lotSize", required: quantity step (integer)
  std::string currency = "VND";  // "currency", optional ("VND")
  double ceiling_price = 0.0;    // "ceilingPrice", optional (0)
  double floor_price = 0.0;      // "floorPrice", optional (0)
  double reference_price = 0.0;  // "referencePrice", optional (0)

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static ProductInfo from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const ProductInfo&) const = default;
};

// Session statistics of one instrument.
// {"symbol": "VN30F1M", "time": 1700000000000, "lastPrice": 1250.2, "bidPrice": 1250.1,
//  "askPrice": 1250.3, "totalTradedQty": 120300, "openPrice": 1245.0, "highPrice": 1252.0,
//  "lowPrice": 1243.5, "closePrice": 1250.2, "change": 5.2, "changePct": 0.42}
struct TOLBU_API ProductStat {
  std::string symbol;             // "symbol", required
  std::int64_t time = 0;          // "time", optional (0)
  double last_price = 0.0;        // "lastPrice", required
  double bid_price = 0.0;         // "bidPrice", required
  double ask_price = 0.0;         // "askPrice", required
  double total_traded_qty = 0.0;  // "totalTradedQty", required
  double open_price = 0.0;        // "openPrice", required
  double high_price = 0.0;        // "highPrice", required
  double low_price = 0.0;         // "lowPrice", required
  double close_price = 0.0;       // "closePrice", required
  double change = 0.0;            // "change", required: against the reference price
  double change_pct = 0.0;        // "changePct", required: in per cent

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static ProductStat from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const ProductStat&) const = default;
};

// Master data of one instrument, with its trading rules when the back end has them.
// {"symbol": "VN30F1M", "name": "VN30 futures 1M", "exchange": "HNX",
//  "productType": "FUTURES", "info": {ProductInfo layout} or null}
struct TOLBU_API ProductMaster {
  std::string symbol;                 // "symbol", required
  std::string name{};                 // "name", optional ("")
  std::string exchange{};             // "exchange", optional ("")
  std::string product_type{};         // "productType", optional ("")
  std::optional<ProductInfo> info{};  // "info", optional (absent); an empty {} is absent too

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static ProductMaster from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const ProductMaster&) const = default;
};

// One order as the order queries and execution reports give it.
// {"orderID": "O-1", "refOrderID": "3f2c...", "accountID": "ACC1", "symbol": "VN30F1M",
//  "side": "B", "orderType": "LO", "price": 1250.0, "qty": 2, "filledQty": 1,
//  "avgPrice": 1250.0, "status": "PARTIALLY_FILLED", "createdTime": 1700000000000,
//  "updatedTime": 1700000001000, "message": ""}
struct TOLBU_API OrderData {
  std::string order_id;           // "orderID", required (text or integer)
  std::string ref_order_id{};     // "refOrderID", optional ("")
  std::string account_id{};       // "accountID", optional ("")
  std::string symbol;             // "symbol", required
  std::string side;               // "side", required: "B" or "S"
  std::string order_type{};       // "orderType", optional (""): "LO", "MTL", "ATO", "ATC"
  double price = 0.0;             // "price", required (0 for market orders)
  std::int64_t qty = 0;           // "qty", required (integer)
  std::int64_t filled_qty = 0;    // "filledQty", optional (0)
  double avg_price = 0.0;         // "avgPrice", optional (0): average fill price
  std::string status;             // "status", required: "NEW", "PARTIALLY_FILLED", "FILLED",
                                  // "CANCELLED", "REJECTED", ...
  std::int64_t created_time = 0;  // "createdTime", optional (0), epoch ms
  std::int64_t updated_time = 0;  // "updatedTime", optional (0), epoch ms
  std::string message{};          // "message", optional (""): reject reason and the like

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static OrderData from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const OrderData&) const = default;
};

// One fill.
// {"tradeID": "T-1", "orderID": "O-1", "accountID": "ACC1", "symbol": "VN30F1M",
//  "side": "B", "price": 1250.0, "qty": 1, "fee": 0.4, "tradeTime": 1700000000500}
struct TOLBU_API Trade {
  std::string trade_id;         // "tradeID", required (text or integer)
  std::string order_id;         // "orderID", required (text or integer)
  std::string account_id{};     // "accountID", optional ("")
  std::string symbol;           // "symbol", required
  std::string side;             // "side", required: "B" or "S"
  double price = 0.0;           // "price", required
  std::int64_t qty = 0;         // "qty", required (integer)
  double fee = 0.0;             // "fee", optional (0)
  std::int64_t trade_time = 0;  // "tradeTime", required, epoch ms

  // Reads the JSON layout above; errors name the field (see the rules at the top).
  static Trade from_dict(const boost::json::value& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const Trade&) const = default;
};

// The answer to an order placement or cancellation.
// Back-end answer: {"status": 200, "message": "Order accepted",
//                   "data": {"orderID": "O-1", "refOrderID": "3f2c...", ...}}
// Error object of the order service: {"status": 400, "message": "Bad qty", "data": null}
// An absent answer (JSON null) gives success false, status 0 and message "Empty response":
// an order whose outcome is unknown is never reported as accepted.
struct TOLBU_API OrderResponse {
  bool success = false;        // status present and 2xx; or no status but an answer
  int status = 0;              // "status", optional: HTTP-style code (0 when absent)
  std::string message{};       // "message", optional (""); text, else its JSON text
  std::string order_id{};      // "data"."orderID" (or top-level "orderID"), optional
  std::string ref_order_id{};  // "data"."refOrderID" (or top-level), optional
  platform::JsonValue data{};  // "data" as received (null when absent): read it as
                               // *data or data->at("status") with Boost.JSON included

  static OrderResponse from_dict(const boost::json::value& data);
  // Reads an answer given as an object; see from_dict(const boost::json::value&).
  static OrderResponse from_dict(const boost::json::object& data);
  // Reads an answer that may be absent: absent gives success false and "Empty response".
  static OrderResponse from_dict(const std::optional<boost::json::object>& data);
  // Writes the JSON layout above.
  boost::json::object to_json() const;
  // Every field equal.
  bool operator==(const OrderResponse&) const = default;
};

}  // namespace tolbu_sdk::types
