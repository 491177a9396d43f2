#include "display.hpp"

#include <fmt/format.h>

#include <cstdio>

#include "tolbu_sdk/platform/number_text.hpp"

namespace sma_crossover {

using tolbu_sdk::platform::number_text;

namespace {

std::string money(double value) { return fmt::format("{:+.2f}", value); }

// "2026-12-09T05:31:00" -> "05:31:00"
std::string clock_part(const std::string& iso) {
  const auto t = iso.find('T');
  return t == std::string::npos ? iso : iso.substr(t + 1, 8);
}

}  // namespace

std::string progress_line(const std::string& symbol, const Snapshot& s, double progress) {
  std::string position = s.position;
  if (s.position != "FLAT") position += " open " + money(s.unrealized_pnl);
  return fmt::format("{} {} {} | {} | P&L {} | {} trade{} | {:.0f}%",
                     s.market_time.empty() ? "--:--:--" : clock_part(s.market_time), symbol,
                     s.price > 0 ? number_text(s.price) : "-", position,
                     money(s.realized_pnl + s.unrealized_pnl), s.trades, s.trades == 1 ? "" : "s",
                     progress);
}

void ProgressDisplay::show(const std::string& line) {
  if (terminal_) {
    // Carriage return, the line, then clear whatever a longer earlier line left behind.
    std::fputs(("\r" + line + "\x1b[K").c_str(), stdout);
    pending_line_ = true;
  } else {
    std::fputs((line + "\n").c_str(), stdout);
  }
  std::fflush(stdout);
}

void ProgressDisplay::finish() {
  if (pending_line_) std::fputs("\n", stdout);
  pending_line_ = false;
  std::fflush(stdout);
}

std::string final_report(const std::string& symbol, const Ledger& ledger) {
  const Summary s = ledger.summary();
  std::string out = fmt::format("== Final report: {}\n", symbol);
  out += fmt::format("Trades:   {} ({} won, {} lost), win rate {:.1f}%\n", s.trades, s.wins,
                     s.losses, s.win_rate());
  out += fmt::format("P&L:      {}", money(s.total_pnl));
  if (s.trades > 0)
    out += fmt::format(" (best {}, worst {})", money(s.best_trade), money(s.worst_trade));
  out += "\n";
  out += fmt::format("Orders:   {} placed, {} filled, {} refused or cancelled\n", s.orders,
                     s.filled_orders, s.rejected_orders);
  int n = 0;
  for (const auto& c : ledger.closed_positions()) {
    out += fmt::format("  #{:<3} {:<5} {} @ {} -> {}  {}  ({:.1f} s)\n", ++n, to_string(c.side),
                       c.quantity, number_text(c.entry_price), number_text(c.exit_price),
                       money(c.pnl), c.duration_seconds);
  }
  return out;
}

}  // namespace sma_crossover
