// The backtest report as JSON, and writing reports to files.

#include <fmt/format.h>
#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace tolbu_sdk::backtest {

namespace json = boost::json;
using platform::iso_text;
using strategy::ClosedPosition;

namespace {

json::object trade_json(const ClosedPosition& t, const TradeCosts* costs) {
  json::object out;
  out.emplace("id", t.id);
  out.emplace("symbol", t.symbol);
  out.emplace("side", to_string(t.side));
  out.emplace("quantity", t.quantity);
  out.emplace("entry_price", t.entry_price);
  out.emplace("exit_price", t.exit_price);
  out.emplace("entry_time", iso_text(t.entry_time));
  out.emplace("exit_time", iso_text(t.exit_time));
  out.emplace("pnl", t.pnl);
  out.emplace("pnl_percent", t.pnl_percent);
  out.emplace("duration_seconds", t.duration_seconds);
  out.emplace("commission", costs ? json::value(costs->commission) : nullptr);
  out.emplace("slippage", costs ? json::value(costs->slippage) : nullptr);
  return out;
}

// Writes beside the target and renames, so a reader never sees half a report and a failed
// write leaves the previous file in place.
void write_whole(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (out) out.flush();
    if (!out) {
      const int error = errno;
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw RuntimeError(
          fmt::format("Cannot write report {}: {}", file.string(), std::strerror(error)));
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw RuntimeError(fmt::format("Cannot write report {}: {}", file.string(), error.message()));
  }
}

}  // namespace

json::object report_json(const BacktestResult& result) {
  const Metrics metrics = Metrics::compute(result);
  json::array curve;
  curve.reserve(result.equity_curve.size());
  for (const EquityPoint& p : result.equity_curve)
    curve.push_back(json::object{
        {"time", iso_text(p.time)}, {"equity", p.equity}, {"in_position", p.in_position}});
  json::array prices;
  prices.reserve(result.prices.size());
  for (const PricePoint& p : result.prices)
    prices.push_back(json::object{{"time", iso_text(p.time)}, {"price", p.price}});
  json::array trades;
  trades.reserve(result.trades.size());
  for (std::size_t i = 0; i < result.trades.size(); ++i)
    trades.push_back(trade_json(result.trades[i],
                                result.trade_costs.empty() ? nullptr : &result.trade_costs[i]));

  json::object out;
  out.emplace("metrics", metrics.to_json());
  out.emplace("equity_curve", std::move(curve));
  out.emplace("prices", std::move(prices));
  out.emplace("trades", std::move(trades));
  if (result.open_position)
    out.emplace("open_position", result.open_position->to_dict());
  else
    out.emplace("open_position", nullptr);
  json::array positions;
  for (const OpenHolding& h : result.positions) {
    if (!std::isfinite(h.avg_price) || !std::isfinite(h.unrealized_pnl))
      throw ValueError("Open position of " + h.symbol + " is not finite");
    positions.push_back(json::object{{"symbol", h.symbol},
                                     {"qty", h.qty},
                                     {"avg_price", h.avg_price},
                                     {"unrealized_pnl", h.unrealized_pnl}});
  }
  out.emplace("positions", std::move(positions));
  json::array refusals;
  for (const RefusedOrder& r : result.refusals) {
    refusals.push_back(json::object{{"time", iso_text(r.time)},
                                    {"symbol", r.symbol},
                                    {"side", r.side},
                                    {"qty", r.qty},
                                    {"reason", r.reason}});
  }
  out.emplace("refusals", std::move(refusals));
  return out;
}

std::string report_json_text(const BacktestResult& result) {
  return platform::to_json_text(report_json(result));
}

void write_json_report(const std::filesystem::path& file, const BacktestResult& result) {
  write_whole(file, report_json_text(result));
}

void write_html_report(const std::filesystem::path& file, const BacktestResult& result) {
  write_whole(file, report_html(result));
}

}  // namespace tolbu_sdk::backtest
