// rsi_reversion: RSI mean reversion over several symbols, on the strategy kit.
//
// Per symbol: RSI below `oversold` buys, above `overbought` sells short; the position closes
// when the RSI crosses back over 50, or at a stop loss `stop_pct` per cent from its average
// price. A position is at most `lots` lots. The kit runs everything else: options, logging,
// history, the stream, orders and fills, the control API, the report.
//
//   export TOLBU_JWT=tolbu-sim-token
//   rsi_reversion --symbol HPG,VN30F2412 --set period=14 --set stop_pct=2 --set lots=1

#include <tolbu_sdk/features/indicators.hpp>
#include <tolbu_sdk/kit.hpp>

#include <map>
#include <optional>
#include <string>

namespace kit = tolbu_sdk::kit;
namespace ind = tolbu_sdk::features::indicators;
using tolbu_sdk::strategy::Bar;

class RsiReversion : public kit::Strategy {
 public:
  void on_start(kit::Context& ctx) override {
    period_ = static_cast<int>(ctx.param("period", 14.0));
    oversold_ = ctx.param("oversold", 30.0);
    overbought_ = ctx.param("overbought", 70.0);
    stop_pct_ = ctx.param("stop_pct", 2.0);
    lots_ = static_cast<std::int64_t>(ctx.param("lots", 1.0));
    for (const auto& symbol : ctx.options().symbols) {
      rsi_.try_emplace(symbol, period_, tolbu_sdk::ta::IndicatorOptions{.max_history = 64});
    }
    ctx.log().info("RSI({}) reversion: buy below {}, sell above {}, stop {} %, {} lots",
                   period_, oversold_, overbought_, stop_pct_, lots_);
  }

  void on_bar(kit::Context& ctx, const Bar& bar) override {
    auto& rsi = rsi_.at(bar.symbol);
    rsi.add(bar);
    const std::optional<double> value = rsi.value();
    if (ctx.warming_up() || !value) return;
    if (has_working_order(ctx, bar.symbol)) return;  // one decision at a time per symbol

    const auto holding = ctx.portfolio().holding(bar.symbol);
    const std::int64_t size = lots_ * ctx.symbol(bar.symbol).lot_size;
    if (holding.qty != 0 && stopped_out(holding, bar.close)) {
      ctx.log().risk(fmt::format("Stop loss on {} at {} (average {})", bar.symbol, bar.close,
                                 holding.avg_price));
      ctx.target(bar.symbol, 0, 0.0, "stop loss");
    } else if (holding.qty > 0 && *value >= 50.0) {
      ctx.target(bar.symbol, 0, 0.0, "RSI back to 50");
    } else if (holding.qty < 0 && *value <= 50.0) {
      ctx.target(bar.symbol, 0, 0.0, "RSI back to 50");
    } else if (holding.qty <= 0 && *value < oversold_) {
      ctx.target(bar.symbol, size, 0.0, "oversold");
    } else if (holding.qty >= 0 && *value > overbought_) {
      ctx.target(bar.symbol, -size, 0.0, "overbought");
    }
  }

  void on_order(kit::Context& ctx, const kit::OrderEvent& event) override {
    if (event.kind != kit::OrderEvent::Kind::FILL) return;
    const auto& fill = *event.fill;
    ctx.log().info("{} {} {} at {} ({}); net P&L so far {}", kit::to_string(fill.side), fill.qty,
                   fill.symbol, fill.price, event.order.intent.tag, ctx.portfolio().net_pnl());
  }

 private:
  bool stopped_out(const kit::Holding& holding, double price) const {
    const double limit = stop_pct_ / 100.0 * holding.avg_price;
    return holding.qty > 0 ? price <= holding.avg_price - limit
                           : price >= holding.avg_price + limit;
  }

  static bool has_working_order(kit::Context& ctx, const std::string& symbol) {
    for (const auto& order : ctx.orders().open_orders()) {
      if (order.intent.symbol == symbol) return true;
    }
    return false;
  }

  std::map<std::string, ind::RSI> rsi_;
  int period_ = 14;
  double oversold_ = 30.0;
  double overbought_ = 70.0;
  double stop_pct_ = 2.0;
  std::int64_t lots_ = 1;
};

int main(int argc, char** argv) {
  RsiReversion strategy;
  return kit::run_main(argc, argv, strategy, "rsi_reversion");
}
