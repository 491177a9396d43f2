#pragma once
// The exchange's typed records: orders, fills, conditional orders, positions and accounts.
// Their wire layouts live with the REST side (rest/layouts.hpp).

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tolbu_sim {

struct SimOrder {
  std::string order_id, ref_order_id, account_id, symbol, side, order_type;
  double price = 0;
  std::int64_t qty = 0, filled_qty = 0;
  double avg_price = 0;
  std::string status;  // NEW, FILLED, CANCELLED, REJECTED
  std::int64_t created_time = 0, updated_time = 0;
  std::string message;
  double fee = 0;  // charged so far, in the reports for the client's accounting
};

struct SimTrade {
  std::string trade_id, order_id, account_id, symbol, side;
  double price = 0;
  std::int64_t qty = 0;
  double fee = 0;
  std::int64_t trade_time = 0;
};

struct SimStopOrder {
  std::string order_id, ref_order_id, account_id, symbol, side;
  double stop_price = 0;
  std::int64_t qty = 0;
  std::optional<double> limit_price;
  std::string status;  // PENDING, TRIGGERED, CANCELLED
  std::string triggered_order_id;
  std::int64_t created_time = 0, updated_time = 0;
};

struct SimBracketOrder {
  std::string order_id, account_id, symbol, side, order_type = "LO", condition_type;
  std::int64_t quantity = 0;
  double condition_price = 0, take_profit_price = 0, stop_loss_price = 0;
  // PENDING (waiting for the entry), ACTIVE (entry filled, exits armed), TAKE_PROFIT,
  // STOP_LOSS, CANCELLED
  std::string status;
  std::string entry_order_id, exit_order_id;
  std::int64_t created_time = 0, updated_time = 0;
};

struct SimPosition {
  std::int64_t qty = 0;  // signed: short below zero
  double avg_price = 0;
  double realized_pnl = 0;
};

struct SimAccount {
  std::string account_id;
  double cash = 0;
  std::map<std::string, SimPosition, std::less<>> positions;
};

// Ids by kind ('O' orders, 'T' trades, 'S' stop orders, 'K' brackets): "O-1", "O-2", ...
class IdSource {
 public:
  std::string next(char prefix) {
    return std::string(1, prefix) + "-" + std::to_string(++counters_[prefix]);
  }

 private:
  std::map<char, std::uint64_t> counters_;
};

}  // namespace tolbu_sim
