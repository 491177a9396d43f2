#include "ledger.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

namespace sma_crossover {

namespace json = boost::json;
using tolbu_sdk::platform::iso_text;
using tolbu_sdk::strategy::ClosedPosition;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::types::OrderData;

bool is_final(const std::string& status) {
  return status == "FILLED" || status == "CANCELLED" || status == "REJECTED";
}

namespace {

json::object to_json(const ClosedPosition& c) {
  return json::object{{"id", c.id},
                      {"symbol", c.symbol},
                      {"side", to_string(c.side)},
                      {"quantity", c.quantity},
                      {"entry_price", c.entry_price},
                      {"exit_price", c.exit_price},
                      {"entry_time", iso_text(c.entry_time)},
                      {"exit_time", iso_text(c.exit_time)},
                      {"pnl", c.pnl},
                      {"pnl_percent", c.pnl_percent},
                      {"duration_seconds", c.duration_seconds}};
}

}  // namespace

Ledger::Ledger(std::string account_id) : account_id_(std::move(account_id)) {}

void Ledger::record_order(const OrderData& order) {
  std::lock_guard lock(mutex_);
  auto it = order_index_.find(order.order_id);
  if (it == order_index_.end()) {
    order_index_.emplace(order.order_id, orders_.size());
    orders_.push_back(order);
    return;
  }
  OrderData& known = orders_[it->second];
  // Reports can overtake each other (placement answer and stream): keep the final state.
  if (is_final(known.status) && !is_final(order.status)) return;
  known = order;
}

void Ledger::record_rejection() {
  std::lock_guard lock(mutex_);
  ++rejections_;
}

void Ledger::record_closed(const ClosedPosition& closed) {
  std::lock_guard lock(mutex_);
  closed_.push_back(closed);
  realized_ += closed.pnl;
}

double Ledger::total_pnl() const {
  std::lock_guard lock(mutex_);
  return realized_ + (open_ ? open_->unrealized_pnl : 0.0);
}

bool Ledger::in_position() const {
  std::lock_guard lock(mutex_);
  return open_.has_value();
}

void Ledger::set_market(std::string market_time, double price) {
  std::lock_guard lock(mutex_);
  market_time_ = std::move(market_time);
  price_ = price;
}

void Ledger::set_position(const Position* open) {
  std::lock_guard lock(mutex_);
  if (open) {
    open_ = *open;
  } else {
    open_.reset();
  }
}

json::array Ledger::orders(const std::optional<std::string>& account_id,
                           const std::optional<std::string>& symbol) const {
  std::lock_guard lock(mutex_);
  json::array out;
  for (const auto& order : orders_) {
    if (account_id && order.account_id != *account_id) continue;
    if (symbol && order.symbol != *symbol) continue;
    out.push_back(order.to_json());
  }
  return out;
}

json::array Ledger::trades(const std::optional<std::string>& account_id) const {
  std::lock_guard lock(mutex_);
  json::array out;
  if (account_id && *account_id != account_id_) return out;
  for (const auto& closed : closed_) out.push_back(to_json(closed));
  return out;
}

Summary Ledger::summary_locked() const {
  Summary s;
  s.trades = closed_.size();
  for (std::size_t i = 0; i < closed_.size(); ++i) {
    const double pnl = closed_[i].pnl;
    s.total_pnl += pnl;
    if (pnl > 0) ++s.wins;
    if (pnl < 0) ++s.losses;
    s.best_trade = i == 0 ? pnl : std::max(s.best_trade, pnl);
    s.worst_trade = i == 0 ? pnl : std::min(s.worst_trade, pnl);
  }
  s.orders = orders_.size();
  s.rejected_orders = rejections_;
  for (const auto& order : orders_) {
    if (order.status == "FILLED") ++s.filled_orders;
    if ((order.status == "CANCELLED" || order.status == "REJECTED") && order.filled_qty == 0)
      ++s.rejected_orders;
  }
  return s;
}

Summary Ledger::summary() const {
  std::lock_guard lock(mutex_);
  return summary_locked();
}

json::object Ledger::report() const {
  std::lock_guard lock(mutex_);
  const Summary s = summary_locked();
  json::array curve;
  double equity = 0.0;
  for (const auto& c : closed_) {
    equity += c.pnl;
    curve.push_back(json::object{{"time", iso_text(c.exit_time)}, {"pnl", equity}});
  }
  json::object metrics{{"trades", s.trades},
                       {"wins", s.wins},
                       {"losses", s.losses},
                       {"win_rate", s.win_rate()},
                       {"total_pnl", s.total_pnl},
                       {"best_trade", s.best_trade},
                       {"worst_trade", s.worst_trade},
                       {"orders", s.orders},
                       {"filled_orders", s.filled_orders},
                       {"rejected_orders", s.rejected_orders}};
  json::value open = nullptr;
  if (open_) open = open_->to_dict();
  return json::object{{"metrics", std::move(metrics)},
                      {"equity_curve", std::move(curve)},
                      {"open_position", std::move(open)}};
}

Snapshot Ledger::snapshot() const {
  std::lock_guard lock(mutex_);
  Snapshot s;
  s.market_time = market_time_;
  s.price = price_;
  s.position = "FLAT";
  if (open_) {
    s.position = fmt::format("{} {}@{}", to_string(open_->side), open_->quantity,
                             tolbu_sdk::platform::number_text(open_->entry_price));
    s.unrealized_pnl = open_->unrealized_pnl;
  }
  for (const auto& c : closed_) s.realized_pnl += c.pnl;
  s.trades = closed_.size();
  return s;
}

std::vector<ClosedPosition> Ledger::closed_positions() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace sma_crossover
