#include "market/accounts.hpp"

#include <algorithm>
#include <cstdlib>

namespace tolbu_sim {

SimAccount& Accounts::get(std::string_view account_id) {
  auto it = accounts_.find(account_id);
  if (it == accounts_.end()) {
    it = accounts_
             .emplace(std::string(account_id),
                      SimAccount{std::string(account_id), initial_cash_, {}})
             .first;
  }
  return it->second;
}

void Accounts::apply(const SimTrade& trade) {
  SimAccount& acct = get(trade.account_id);
  SimPosition& pos = acct.positions[trade.symbol];
  const double price = trade.price;
  const std::int64_t signed_qty = trade.side == "B" ? trade.qty : -trade.qty;
  if (pos.qty == 0 || (pos.qty > 0) == (signed_qty > 0)) {
    const double total = static_cast<double>(pos.qty + signed_qty);
    pos.avg_price =
        (pos.avg_price * static_cast<double>(pos.qty) + price * static_cast<double>(signed_qty)) /
        total;
    pos.qty += signed_qty;
  } else {
    const std::int64_t closing = std::min(std::abs(pos.qty), std::abs(signed_qty));
    const double direction = pos.qty > 0 ? 1.0 : -1.0;
    pos.realized_pnl += direction * (price - pos.avg_price) * static_cast<double>(closing);
    pos.qty += signed_qty;
    if (pos.qty == 0) {
      pos.avg_price = 0;
    } else if ((pos.qty > 0) == (signed_qty > 0)) {
      pos.avg_price = price;  // reversed: the remainder opened at this price
    }
  }
  acct.cash -= static_cast<double>(signed_qty) * price + trade.fee;
}

}  // namespace tolbu_sim
