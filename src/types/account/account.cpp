#include "tolbu_sdk/types/account.hpp"

#include <fmt/format.h>
#include <boost/json.hpp>

#include <charconv>
#include <cmath>
#include <string_view>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

namespace tolbu_sdk::types {

namespace json = boost::json;
using platform::is_empty;

namespace {

// The preferred key's value when present (even null), else the fallback's, else nullptr.
const json::value* pick(const json::object& o, std::string_view key,
                        std::string_view fallback = {}) {
  if (const json::value* v = o.if_contains(key)) return v;
  return fallback.empty() ? nullptr : o.if_contains(fallback);
}

std::string text(const json::value* v) {
  if (is_empty(v)) return "";
  switch (v->kind()) {
    case json::kind::string:
      return std::string(v->get_string());
    case json::kind::int64:
      return std::to_string(v->get_int64());
    case json::kind::uint64:
      return std::to_string(v->get_uint64());
    case json::kind::double_:
      return platform::number_text(v->get_double());
    default:
      return platform::to_json_text(*v);
  }
}

// A decimal number text (blanks and a sign allowed; no hex, inf or nan: an amount must be
// finite), read the same way as every number text of the SDK.
double parse_decimal(std::string_view field, std::string_view s) {
  if (auto value = platform::read_decimal(s)) return *value;
  throw ValueError(fmt::format("could not convert string to float: '{}' (field {})", s, field));
}

double number(std::string_view field, const json::value* v) {
  if (is_empty(v)) return 0.0;
  switch (v->kind()) {
    case json::kind::int64:
      return static_cast<double>(v->get_int64());
    case json::kind::uint64:
      return static_cast<double>(v->get_uint64());
    case json::kind::double_:
      return v->get_double();
    case json::kind::bool_:
      return 1.0;  // false is empty
    case json::kind::string:
      return parse_decimal(field, v->get_string());
    default:
      throw ValueError(fmt::format("{} must be a number, got {}", field,
                                   v->is_array() ? "an array" : "an object"));
  }
}

bool flag(const json::value* v) { return !is_empty(v); }

}  // namespace

Account Account::from_dict(const json::value& data) {
  const json::object* o = data.if_object();
  if (o == nullptr) throw TypeError("data must be a JSON object");
  Account a;
  a.id = text(pick(*o, "id"));
  a.account_id = text(pick(*o, "accountId", "accountID"));
  a.account_name = text(pick(*o, "accountName"));
  a.total_equity = number("total_equity", pick(*o, "totalEquity", "equity"));
  a.credit = number("credit", pick(*o, "credit"));
  a.maintenance_margin = number("maintenance_margin", pick(*o, "maintenanceMargin"));
  a.temp_maintenance_margin = number("temp_maintenance_margin", pick(*o, "tempMaintenanceMargin"));
  a.total_realized_pnl = number("total_realized_pnl", pick(*o, "totalRealizedPnl", "realizedPnl"));
  a.total_unrealized_pnl =
      number("total_unrealized_pnl", pick(*o, "totalUnrealizedPnl", "unrealizedPnl"));
  a.trading_power = number("trading_power", pick(*o, "tradingPower"));
  a.cross_margin = flag(pick(*o, "crossMargin"));
  return a;
}

}  // namespace tolbu_sdk::types
