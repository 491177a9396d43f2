#pragma once
// Positions netted per symbol from fills, with profit and loss net of fees.
//
//   Portfolio portfolio;
//   if (auto fill = tracker.apply(ExecutionReport::from_dict(payload))) portfolio.apply(*fill);
//   portfolio.mark("HPG", last_price);
//   double result = portfolio.net_pnl();   // realised + unrealised - fees
//
// Slippage is already inside the fill prices, so it is not taken off again: slippage() says
// how much of the result it cost (the result before costs is net + fees + slippage).
//
// A fill adds to a position, closes part of it, closes it, or closes it and opens the other
// side with the rest (a reversal). Each closing records a trade with its share of the fees
// paid to open it. The strategy writes on its loop; the control API reads from its own
// thread: every member takes the one mutex and answers copies.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/kit/fills.hpp"
#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::kit {

// The position in one symbol.
struct TOLBU_API Holding {
  // The instrument.
  std::string symbol;
  std::int64_t qty = 0;      // signed: above 0 long, below 0 short
  double avg_price = 0.0;    // of the open quantity; 0 when flat
  double last_price = 0.0;   // the latest mark, or fill price
  double realized_pnl = 0.0; // gross, of the quantity closed so far
  double fees = 0.0;         // every fee paid in this symbol
  std::int64_t opened_ms = 0;  // when the open quantity was first opened
  double open_fees = 0.0;    // fees of the open quantity still to be charged to its trade
  double slippage = 0.0;     // every fill's slippage in this symbol (inside the prices)
  double open_slippage = 0.0;  // slippage of the open quantity still to go to its trade

  // (last_price - avg_price) times the signed quantity; 0 when flat.
  double unrealized_pnl() const noexcept {
    return qty == 0 ? 0.0 : (last_price - avg_price) * static_cast<double>(qty);
  }
  // Realised and unrealised, less every fee.
  double net_pnl() const noexcept { return realized_pnl + unrealized_pnl() - fees; }
  // Every field equal.
  bool operator==(const Holding&) const = default;
};

// One round trip: a quantity opened and closed again.
struct TOLBU_API ClosedTrade {
  // The instrument.
  std::string symbol;
  Side side = Side::BUY;  // of the opening
  // Quantity opened and closed, positive.
  std::int64_t qty = 0;
  // Average price of the opening fills.
  double entry_price = 0.0;
  // Price of the closing fill.
  double exit_price = 0.0;
  // When the quantity was first opened, epoch ms.
  std::int64_t entry_ms = 0;
  // When it was closed, epoch ms.
  std::int64_t exit_ms = 0;
  // The result before fees.
  double gross_pnl = 0.0;
  double fees = 0.0;  // the closing fill's share and the opening fills' share
  double slippage = 0.0;  // the same shares of the fills' slippage, already inside gross_pnl

  // The result after fees.
  double net_pnl() const noexcept { return gross_pnl - fees; }
  // Every field equal.
  bool operator==(const ClosedTrade&) const = default;
};

// Positions netted per symbol from fills, the round trips they made, and P&L net of fees.
class TOLBU_API Portfolio {
 public:
  Portfolio() = default;

  // Books a fill: adds to, reduces, closes or reverses the symbol's position; a closing
  // records a ClosedTrade.
  void apply(const Fill& fill);
  // The symbol's latest price, for the unrealised result.
  void mark(const std::string& symbol, double price);

  // The holding of a symbol (flat and empty when it never traded).
  Holding holding(const std::string& symbol) const;
  std::vector<Holding> holdings() const;  // every symbol traded, by name
  // Every round trip closed so far, oldest first.
  std::vector<ClosedTrade> trades() const;
  // Signed open quantity of a symbol.
  std::int64_t position(const std::string& symbol) const;

  double realized_pnl() const;    // gross
  // The open positions' result at their latest marks.
  double unrealized_pnl() const;
  // Every fee paid.
  double fees() const;
  double slippage() const;        // inside realised and unrealised already
  double net_pnl() const;         // realised + unrealised - fees

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Holding> holdings_;
  std::vector<ClosedTrade> trades_;
};

}  // namespace tolbu_sdk::kit
