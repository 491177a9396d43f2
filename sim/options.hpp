#pragma once
// Command-line options of tolbu-sim.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/kit/costs.hpp"

namespace tolbu_sim {

// A CSV history that replaces a symbol's synthetic one (--data SYMBOL[:SECONDS]=FILE).
struct DataFile {
  std::string symbol;
  std::string path;
  std::optional<int> resolution_s;  // absent: inferred from the file
};

struct SimOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;                // 0: an ephemeral port, printed on the first line
  std::string jwt = "tolbu-sim-token";   // bearer token required on authenticated paths
  std::uint64_t seed = 1;                // seeds candle history and the live market
  double speed = 1.0;                    // simulated seconds per real second; 0 freezes the clock
  int tick_ms = 200;                     // real milliseconds between live market ticks
  std::optional<std::int64_t> start_ms;  // simulated start time (epoch ms); default: now
  std::string account = "SIM0001";       // account used when a request names none
  std::size_t max_candles = 200000;      // largest candle answer
  std::size_t journal_limit = 100000;    // oldest journal entries are dropped beyond this
  bool quiet = false;                    // no per-request lines on stderr
  // Streaming: history per channel, token lifetime, server-side subscriptions, backlog.
  std::size_t history_size = 1000;
  std::int64_t history_ttl_s = 300;
  std::int64_t token_ttl_s = 0;  // 0: tokens do not expire
  std::vector<std::string> server_subs;
  std::size_t client_backlog = std::size_t(64) << 20;
  // What fills cost: the fee schedule, and how many ticks a market order (or a limit order
  // marketable on arrival, within its limit) trades worse than the last price.
  tolbu_sdk::kit::CostModel costs{};
  int slippage_ticks = 0;
  // Replay: the most of a bar's volume that fills in that bar (0: no limit); the rest of an
  // order waits for the following bars.
  double fill_volume_share = 0.25;
  // Backtest replay: the clock is frozen and moves one bar per "replay.next" rpc.
  bool replay = false;
  // --sessions vn-derivatives: the market trades only in the Vietnamese derivatives
  // market's sessions (see market/market.hpp); otherwise around the clock.
  bool vn_sessions = false;
  std::vector<DataFile> data;
};

// The text printed by --help: every option and every HTTP endpoint.
std::string help_text();

// Parses argv. Returns the options, or absent when the program should exit with exit_code
// (after --help, or after an error was written to err).
std::optional<SimOptions> parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                                        int& exit_code);

}  // namespace tolbu_sim
