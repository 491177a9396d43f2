#include "tolbu_sdk/kit/fills.hpp"

#include <boost/json.hpp>

#include <cmath>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::kit {

std::optional<double> reported_fee(const boost::json::value& order) {
  if (const auto* object = order.if_object()) {
    if (const auto* fee = object->if_contains("fee"); fee && fee->is_number()) {
      return fee->to_number<double>();
    }
  }
  return std::nullopt;
}

ExecutionReport ExecutionReport::from_dict(const boost::json::value& data) {
  ExecutionReport report{types::OrderData::from_dict(data)};
  (void)parse_side(report.order.side);  // a report of neither side is refused here, not later
  report.fee = reported_fee(data);
  return report;
}

std::optional<Fill> FillTracker::apply(const ExecutionReport& report) {
  const auto& order = report.order;
  Seen& seen = seen_[order.order_id];
  if (order.filled_qty <= seen.qty) return std::nullopt;  // nothing new: a repeat or older
  if (order.qty > 0 && order.filled_qty > order.qty) {
    throw ValueError("Execution report of order " + order.order_id + " fills " +
                     std::to_string(order.filled_qty) + " of " + std::to_string(order.qty));
  }
  Fill fill;
  fill.order_id = order.order_id;
  fill.ref_order_id = order.ref_order_id;
  fill.symbol = order.symbol;
  fill.side = parse_side(order.side);
  fill.qty = order.filled_qty - seen.qty;
  // The increment's price from the change of the filled value.
  const double value = order.avg_price * static_cast<double>(order.filled_qty);
  fill.price = seen.qty == 0 ? order.avg_price : (value - seen.value) / static_cast<double>(fill.qty);
  fill.fee = report.fee ? *report.fee - seen.fee : costs_.fee(fill.price, fill.qty);
  fill.time_ms = order.updated_time;
  seen.qty = order.filled_qty;
  seen.value = value;
  seen.fee += fill.fee;
  return fill;
}

std::int64_t FillTracker::filled(const std::string& order_id) const {
  const auto it = seen_.find(order_id);
  return it == seen_.end() ? 0 : it->second.qty;
}

}  // namespace tolbu_sdk::kit
