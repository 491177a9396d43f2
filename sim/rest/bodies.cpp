#include "rest/bodies.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tolbu_sim {

namespace json = boost::json;

namespace {

// Field readers: the first problem's message is kept.
struct BodyReader {
  const json::object& body;
  std::string error;

  const json::value* get(std::string_view key, bool required) {
    auto* v = body.if_contains(key);
    if ((!v || v->is_null()) && required && error.empty())
      error = "Missing field \"" + std::string(key) + "\"";
    return v && !v->is_null() ? v : nullptr;
  }
  std::string text(std::string_view key, bool required = true) {
    auto* v = get(key, required);
    if (!v) return {};
    if (!v->is_string()) {
      if (error.empty()) error = "Field \"" + std::string(key) + "\" must be a string";
      return {};
    }
    return std::string(v->as_string());
  }
  std::optional<double> number(std::string_view key, bool required = true) {
    auto* v = get(key, required);
    if (!v) return std::nullopt;
    if (!v->is_number()) {
      if (error.empty()) error = "Field \"" + std::string(key) + "\" must be a number";
      return std::nullopt;
    }
    return v->to_number<double>();
  }
  std::optional<std::int64_t> integer(std::string_view key) {
    auto* v = get(key, true);
    if (!v) return std::nullopt;
    if (auto* i = v->if_int64()) return *i;
    if (auto* u = v->if_uint64(); u && *u <= INT64_MAX) return static_cast<std::int64_t>(*u);
    if (auto* d = v->if_double(); d && std::floor(*d) == *d && std::abs(*d) < 9e15)
      return static_cast<std::int64_t>(*d);
    if (error.empty()) error = "Field \"" + std::string(key) + "\" must be an integer";
    return std::nullopt;
  }
};

}  // namespace

std::string read_stop_order(const json::object& body, SimStopOrder& out) {
  BodyReader read{body, {}};
  out.ref_order_id = read.text("refOrderID");
  out.account_id = read.text("accountID", false);
  out.symbol = read.text("symbol");
  out.side = read.text("orderSide");
  const auto stop_price = read.number("stopPrice");
  const auto qty = read.integer("qty");
  out.limit_price = read.number("limitPrice", false);
  if (!read.error.empty()) return read.error;
  out.stop_price = *stop_price;
  out.qty = *qty;
  return {};
}

std::string read_bracket_order(const json::object& body, SimBracketOrder& out) {
  BodyReader read{body, {}};
  out.symbol = read.text("symbol");
  out.side = read.text("side");
  out.account_id = read.text("account", false);
  const auto quantity = read.integer("quantity");
  out.order_type = read.text("orderType");
  const auto condition = read.number("conditionPrice");
  out.condition_type = read.text("conditionType");
  const auto take_profit = read.number("takeProfitPrice");
  const auto stop_loss = read.number("stopLossPrice");
  if (!read.error.empty()) return read.error;
  out.quantity = *quantity;
  out.condition_price = *condition;
  out.take_profit_price = *take_profit;
  out.stop_loss_price = *stop_loss;
  return {};
}

}  // namespace tolbu_sim
