#pragma once
// A pre-trade risk guard: limits an order must keep before it goes out, and loss limits past
// which the run takes no new risk.
//
//   kit::RiskGuard guard({.max_order_qty = 50, .max_daily_loss = 5000});
//   if (auto why = guard.check("VN30F2412", Side::BUY, 10, position, open_positions);
//       !why.empty()) { /* refused: why says which limit */ }
//   if (guard.update(bar.time, equity)) { /* a loss limit was crossed: flatten */ }
//
// Rules:
// - An order that only reduces a position (without reversing it) is never refused: cutting
//   risk must always be possible.
// - Any other order (an entry, a build-up or a reversal) is refused when its quantity is over
//   max_order_qty, when it would open a position while max_open_positions are already open,
//   or while the guard is halted.
// - update() takes the equity at each closed bar. The guard halts when the day's loss (from
//   the equity at the end of the day before, or the first equity seen) reaches
//   max_daily_loss, until the next calendar day; or when equity falls max_drawdown_pct below
//   its highest value, for the rest of the run.
// A limit of 0 is not enforced. Every method may be called from any thread.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tolbu_sdk/kit/side.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/utils/defaults.hpp"

namespace tolbu_sdk::kit {

// The limits the guard enforces; the SDK's default risk limits unless set.
struct TOLBU_API RiskLimits {
  std::int64_t max_order_qty = utils::DEFAULT_MAX_ORDER_QTY;        // per order, contracts
  int max_open_positions = utils::DEFAULT_MAX_OPEN_POSITIONS;       // symbols with a position
  double max_daily_loss = utils::DEFAULT_MAX_DAILY_LOSS;            // money, within a day
  double max_drawdown_pct = utils::DEFAULT_MAX_DRAWDOWN_PCT;        // below the equity's peak
};

// An order the guard refused, for the report and the strategy.
struct TOLBU_API RiskRefusal {
  platform::LocalDateTime time;  // the bar time of the guard's latest update
  std::string symbol;            // the order's symbol
  Side side = Side::BUY;         // the order's side
  std::int64_t qty = 0;          // the order's quantity
  std::string reason;            // which limit refused it, with the figures

  // Every field equal.
  bool operator==(const RiskRefusal&) const = default;
};

// Checks orders against RiskLimits and halts on a loss limit; see the rules above.
class TOLBU_API RiskGuard {
 public:
  // Throws ValueError for a negative limit.
  explicit RiskGuard(RiskLimits limits = {});

  // Why the order may not go out, or "" when it may. position: the symbol's signed position
  // counting what working orders will still add; open_positions: how many symbols have one.
  // A refusal is recorded with the time of the latest update().
  std::string check(const std::string& symbol, Side side, std::int64_t qty, std::int64_t position,
                    int open_positions);
  // The equity at a closed bar. True exactly when this update halts the guard (the caller
  // flattens then); the reason is logged as a WARNING and kept in halt_reason().
  bool update(const platform::LocalDateTime& time, double equity);

  // True from a loss limit's crossing until the next day (daily loss) or for good (drawdown).
  bool halted() const;
  std::string halt_reason() const;  // "" while not halted
  // Every order refused so far, oldest first.
  std::vector<RiskRefusal> refusals() const;
  // The limits it enforces.
  const RiskLimits& limits() const noexcept { return limits_; }

 private:
  const RiskLimits limits_;
  mutable std::mutex mutex_;
  platform::LocalDateTime now_{};
  std::int64_t day_ = 0;        // the calendar day of the latest update, days since 1970
  double day_start_ = 0.0;      // the equity the day's loss is measured from
  double last_equity_ = 0.0;
  double peak_ = 0.0;
  bool started_ = false;
  bool drawdown_halt_ = false;  // for the rest of the run
  std::int64_t daily_halt_day_ = -1;  // halted until the day changes
  std::string halt_reason_;
  std::vector<RiskRefusal> refusals_;
};

}  // namespace tolbu_sdk::kit
