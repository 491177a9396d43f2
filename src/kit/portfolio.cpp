#include "tolbu_sdk/kit/portfolio.hpp"

#include <algorithm>
#include <cstdlib>

namespace tolbu_sdk::kit {

void Portfolio::apply(const Fill& fill) {
  if (fill.qty <= 0) return;
  std::lock_guard lock(mutex_);
  Holding& h = holdings_[fill.symbol];
  h.symbol = fill.symbol;
  h.last_price = fill.price;
  h.fees += fill.fee;
  h.slippage += fill.slippage;
  const std::int64_t signed_qty = sign(fill.side) * fill.qty;
  const double qty = static_cast<double>(fill.qty);

  if (h.qty == 0 || (h.qty > 0) == (signed_qty > 0)) {  // opens or adds
    const double open = static_cast<double>(std::abs(h.qty));
    h.avg_price = (h.avg_price * open + fill.price * qty) / (open + qty);
    if (h.qty == 0) h.opened_ms = fill.time_ms;
    h.qty += signed_qty;
    h.open_fees += fill.fee;
    h.open_slippage += fill.slippage;
    return;
  }

  // Closes some or all of the position, and reverses with the rest.
  const std::int64_t closing = std::min(std::abs(h.qty), fill.qty);
  const double share = static_cast<double>(closing) / static_cast<double>(std::abs(h.qty));
  ClosedTrade trade;
  trade.symbol = h.symbol;
  trade.side = h.qty > 0 ? Side::BUY : Side::SELL;
  trade.qty = closing;
  trade.entry_price = h.avg_price;
  trade.exit_price = fill.price;
  trade.entry_ms = h.opened_ms;
  trade.exit_ms = fill.time_ms;
  trade.gross_pnl = (h.qty > 0 ? 1.0 : -1.0) * (fill.price - h.avg_price) *
                    static_cast<double>(closing);
  const double opening_fees = h.open_fees * share;
  trade.fees = opening_fees + fill.fee * static_cast<double>(closing) / qty;
  h.open_fees -= opening_fees;
  const double opening_slippage = h.open_slippage * share;
  trade.slippage = opening_slippage + fill.slippage * static_cast<double>(closing) / qty;
  h.open_slippage -= opening_slippage;
  h.realized_pnl += trade.gross_pnl;
  trades_.push_back(trade);

  h.qty += signed_qty;
  if (h.qty == 0) {
    h.avg_price = 0.0;
    h.open_fees = 0.0;
    h.open_slippage = 0.0;
  } else if ((h.qty > 0) == (signed_qty > 0)) {  // reversed: the rest opened at this fill
    h.avg_price = fill.price;
    h.opened_ms = fill.time_ms;
    h.open_fees = fill.fee * static_cast<double>(fill.qty - closing) / qty;
    h.open_slippage = fill.slippage * static_cast<double>(fill.qty - closing) / qty;
  }
}

void Portfolio::mark(const std::string& symbol, double price) {
  std::lock_guard lock(mutex_);
  auto it = holdings_.find(symbol);
  if (it != holdings_.end()) it->second.last_price = price;
}

Holding Portfolio::holding(const std::string& symbol) const {
  std::lock_guard lock(mutex_);
  auto it = holdings_.find(symbol);
  if (it != holdings_.end()) return it->second;
  Holding flat;
  flat.symbol = symbol;
  return flat;
}

std::vector<Holding> Portfolio::holdings() const {
  std::lock_guard lock(mutex_);
  std::vector<Holding> out;
  for (const auto& [name, h] : holdings_) out.push_back(h);
  return out;
}

std::vector<ClosedTrade> Portfolio::trades() const {
  std::lock_guard lock(mutex_);
  return trades_;
}

std::int64_t Portfolio::position(const std::string& symbol) const { return holding(symbol).qty; }

double Portfolio::realized_pnl() const {
  std::lock_guard lock(mutex_);
  double sum = 0.0;
  for (const auto& [name, h] : holdings_) sum += h.realized_pnl;
  return sum;
}

double Portfolio::unrealized_pnl() const {
  std::lock_guard lock(mutex_);
  double sum = 0.0;
  for (const auto& [name, h] : holdings_) sum += h.unrealized_pnl();
  return sum;
}

double Portfolio::fees() const {
  std::lock_guard lock(mutex_);
  double sum = 0.0;
  for (const auto& [name, h] : holdings_) sum += h.fees;
  return sum;
}

double Portfolio::slippage() const {
  std::lock_guard lock(mutex_);
  double sum = 0.0;
  for (const auto& [name, h] : holdings_) sum += h.slippage;
  return sum;
}

double Portfolio::net_pnl() const {
  std::lock_guard lock(mutex_);
  double sum = 0.0;
  for (const auto& [name, h] : holdings_) sum += h.net_pnl();
  return sum;
}

}  // namespace tolbu_sdk::kit
