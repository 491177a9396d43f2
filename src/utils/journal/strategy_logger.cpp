// The strategy's logger and its five trading lines.
#include <fmt/format.h>

#include <cmath>

#include "tolbu_sdk/platform/number_text.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_sdk::utils {

namespace {

using platform::append_number_text;

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// Signed, two decimals, in the profit colour from zero up (not-a-number is a loss).
void append_pnl(std::string& out, double pnl) {
  out += " P&L: ";
  out += pnl >= 0 ? Colors::PROFIT : Colors::LOSS;
  fmt::format_to(std::back_inserter(out), "{:+.2f}", pnl);
  out += Colors::RESET;
}

// " symbol qty@price"
void append_fill(std::string& out, std::string_view symbol, std::int64_t qty, double price) {
  out += ' ';
  out += symbol;
  fmt::format_to(std::back_inserter(out), " {}@", qty);
  append_number_text(out, price);
}

}  // namespace

StrategyLogger::StrategyLogger(std::string name)
    : _logger(&get_logger("strategy." + name)), strategy_name(std::move(name)) {}

void StrategyLogger::order(std::string_view action, std::string_view symbol, std::int64_t qty,
                           double price) {
  if (!_logger->is_enabled_for(logging::INFO)) return;
  const std::string act = upper(action);
  std::string line = "ORDER: ";
  line += act == "BUY" || act == "LONG" ? Colors::BUY : Colors::SELL;
  line += act;
  line += Colors::RESET;
  append_fill(line, symbol, qty, price);
  _logger->log_text(logging::INFO, line);
}

void StrategyLogger::trade(std::string_view symbol, std::string_view side, std::int64_t qty,
                           double price, double pnl) {
  if (!_logger->is_enabled_for(logging::INFO)) return;
  const std::string s = upper(side);
  std::string line = "TRADE: ";
  line += s == "B" || s == "BUY" ? Colors::BUY : Colors::SELL;
  line += side;
  line += Colors::RESET;
  append_fill(line, symbol, qty, price);
  if (pnl != 0.0) append_pnl(line, pnl);  // true for not-a-number too
  _logger->log_text(logging::INFO, line);
}

void StrategyLogger::position(std::string_view action, std::string_view symbol, std::int64_t qty,
                              double entry, double pnl) {
  if (!_logger->is_enabled_for(logging::INFO)) return;
  std::string line = "POSITION ";
  line += upper(action);
  line += ':';
  append_fill(line, symbol, qty, entry);
  append_pnl(line, pnl);
  _logger->log_text(logging::INFO, line);
}

void StrategyLogger::bar(std::string_view symbol, double o, double h, double l, double c,
                         double v) {
  if (!_logger->is_enabled_for(logging::DEBUG)) return;
  std::string line = "BAR: ";
  line += symbol;
  const std::pair<const char*, double> fields[] = {
      {" O=", o}, {" H=", h}, {" L=", l}, {" C=", c}, {" V=", v}};
  for (const auto& [label, value] : fields) {
    line += label;
    append_number_text(line, value);
  }
  _logger->log_text(logging::DEBUG, line);
}

void StrategyLogger::risk(std::string_view msg) {
  if (!_logger->is_enabled_for(logging::WARNING)) return;
  std::string line = "RISK: ";
  line += msg;
  _logger->log_text(logging::WARNING, line);
}

}  // namespace tolbu_sdk::utils
