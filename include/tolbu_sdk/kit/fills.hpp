#pragma once
// Execution reports as typed records, and the fills they carry.
//
// A report gives an order's cumulative filled quantity and average price; a fill is the
// increase since the report before. FillTracker keeps what each order has filled so far, so
// that a report delivered twice, or an older one arriving late, yields no second fill.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "tolbu_sdk/kit/costs.hpp"
#include "tolbu_sdk/kit/side.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace boost::json {
class value;
}

namespace tolbu_sdk::kit {

// The order's cumulative "fee" in the back end's layout of an order, when it has one.
TOLBU_API std::optional<double> reported_fee(const boost::json::value& order);

// One execution report: the order's state, and the back end's cumulative fee when it
// reports one ("fee").
struct TOLBU_API ExecutionReport {
  // The order as the report gives it: cumulative filled quantity and average price.
  types::OrderData order;
  // The back end's cumulative fee of the order, when it reports one.
  std::optional<double> fee{};

  // The back end's layout (types::OrderData's, plus an optional "fee"); a ValueError for a
  // report that is not one (missing fields, a side that is neither buy nor sell).
  static ExecutionReport from_dict(const boost::json::value& data);
};

// One fill: the quantity that an order filled since its previous report.
struct TOLBU_API Fill {
  // The back end's id of the order.
  std::string order_id;
  // The kit's reference id of the order.
  std::string ref_order_id;
  // The instrument.
  std::string symbol;
  // Buying or selling.
  Side side = Side::BUY;
  // The quantity filled since the previous report.
  std::int64_t qty = 0;
  double price = 0.0;    // of this quantity
  double fee = 0.0;      // of this quantity
  // The order's update time in the report, epoch ms.
  std::int64_t time_ms = 0;
  // The price the kit saw when it sent the order (the last price for a market order, the
  // limit for a limit order); 0 when unknown.
  double reference_price = 0.0;
  // What the fill cost against that price, in money: positive when paid (bought above it or
  // sold below it), negative for an improvement; 0 without a reference price.
  double slippage = 0.0;

  // Every field equal.
  bool operator==(const Fill&) const = default;
};

// Turns cumulative execution reports into fills, each once, whatever the order of arrival.
class TOLBU_API FillTracker {
 public:
  // Fees computed by `costs` where a report carries none.
  explicit FillTracker(CostModel costs = {}) : costs_(costs) {}

  // The fill this report adds, or nothing when it adds none (no new quantity, a duplicate,
  // a late older report). A cumulative quantity above the order's quantity is a ValueError.
  std::optional<Fill> apply(const ExecutionReport& report);
  // The quantity an order is known to have filled (0 for an unknown order).
  std::int64_t filled(const std::string& order_id) const;

 private:
  struct Seen {
    std::int64_t qty = 0;
    double value = 0.0;  // filled quantity times average price
    double fee = 0.0;
  };
  CostModel costs_;
  std::map<std::string, Seen> seen_;
};

}  // namespace tolbu_sdk::kit
