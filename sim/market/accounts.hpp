#pragma once
// Accounts: cash and positions netted per symbol as fills arrive.

#include <map>
#include <string>
#include <string_view>

#include "market/orders.hpp"

namespace tolbu_sim {

class Accounts {
 public:
  static constexpr double kDefaultCash = 10'000'000'000.0;

  // Cash of accounts opened from now on.
  void set_initial_cash(double cash) { initial_cash_ = cash; }
  // The account, opened with the starting cash when first named.
  SimAccount& get(std::string_view account_id);
  // A fill's effect: the position (add, partial close, reversal) and the cash with its fee.
  void apply(const SimTrade& trade);
  const std::map<std::string, SimAccount, std::less<>>& all() const { return accounts_; }
  void clear() { accounts_.clear(); }

 private:
  std::map<std::string, SimAccount, std::less<>> accounts_;
  double initial_cash_ = kDefaultCash;
};

}  // namespace tolbu_sim
