#pragma once
// One snapshot of a trading account as the back end reports it.

#include <boost/json/fwd.hpp>

#include <string>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::types {

// One snapshot of a trading account: equity, margin, results and buying power.
struct TOLBU_API Account {
  // The back end's record id.
  std::string id;
  // The account's number.
  std::string account_id;
  // The account's name.
  std::string account_name{};
  // The account's total value.
  double total_equity = 0.0;
  // Credit granted.
  double credit = 0.0;
  // Margin required to keep the positions open.
  double maintenance_margin = 0.0;
  // The back end's provisional maintenance margin.
  double temp_maintenance_margin = 0.0;
  // Results realised so far.
  double total_realized_pnl = 0.0;
  // Results of the open positions.
  double total_unrealized_pnl = 0.0;
  // Buying power for new orders.
  double trading_power = 0.0;
  // Whether the account uses cross margin (shared by all positions).
  bool cross_margin = false;

  // Builds an account from the back end's JSON object. Keys (preferred, then the fallback
  // used only when the preferred key is missing altogether; a null is not missing):
  //   id "id"; account_id "accountId" / "accountID"; account_name "accountName";
  //   total_equity "totalEquity" / "equity"; credit "credit";
  //   maintenance_margin "maintenanceMargin"; temp_maintenance_margin "tempMaintenanceMargin";
  //   total_realized_pnl "totalRealizedPnl" / "realizedPnl";
  //   total_unrealized_pnl "totalUnrealizedPnl" / "unrealizedPnl";
  //   trading_power "tradingPower"; cross_margin "crossMargin".
  // Texts: empty values (null, false, 0, "", [], {}) give "", strings are kept, integers
  // give their digits, other values their JSON text. Numbers: empty values give 0.0, numbers
  // are taken, true is 1.0, strings are parsed as decimal numbers. Flag: the value's truth,
  // so any non-empty string (even "false") is true.
  // Throws TypeError naming `data` when it is not an object, and ValueError when a number
  // field holds an unparseable string or a non-empty array or object.
  static Account from_dict(const boost::json::value& data);

  // Every field equal.
  bool operator==(const Account&) const = default;
};

}  // namespace tolbu_sdk::types
