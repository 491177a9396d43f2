#pragma once
// Accounts: cash and positions netted per symbol as fills arrive.

#include <map>
#include <string>
#include <string_view>

#include "market/orders.hpp"

namespace tolbu_sim {

class Accounts {
 public:
  // The account, opened with the starting cash when first named.
  SimAccount& get(std::string_view account_id);
  // A fill's effect: the position (add, partial close, reversal) and the cash with its fee.
  void apply(const SimTrade& trade);
  const std::map<std::string, SimAccount, std::less<>>& all() const { return accounts_; }
  void clear() { accounts_.clear(); }

 private:
  std::map<std::string, SimAccount, std::less<>> accounts_;
};

}  // namespace tolbu_sim
