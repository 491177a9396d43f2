#pragma once
// Command line of the example.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "params.hpp"

namespace sma_crossover {

struct Options {
  std::string backend = "http://127.0.0.1:8080";  // REST and micro API base
  std::string ws;                                 // default: derived from backend
  std::string jwt;
  int duration = 60;  // seconds; 0 runs until stopped
  int control_port = 8000;
  std::string control_host = "127.0.0.1";  // the control API has no authentication
  std::string log_level = "DEBUG";         // files only; the console shows the live line
  Params strategy;
  // Backtest: replay [from_ms, to_ms) of history on a tolbu-sim started with --replay.
  bool backtest = false;
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;
  std::int64_t bars = 0;         // when set, to_ms = from_ms + bars * resolution
  double capital = 100000.0;     // starting equity of the report's equity curve
  std::string report_dir = ".";  // report.json and report.html go here
  std::string title;             // of the report; default: strategy, symbol and parameters
  int linger = 0;  // seconds the control API keeps serving the report after the backtest
};

// A date "YYYY-MM-DD", a local time "YYYY-MM-DDTHH:MM[:SS]" or epoch milliseconds.
std::optional<std::int64_t> parse_time(std::string_view text);

// The usage text printed by --help.
std::string usage();

// Parses argv; absent when the program should end with exit_code (after --help, or after an
// error was written to err).
std::optional<Options> parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                                     int& exit_code);

// ws://HOST:PORT/connection/websocket for http://HOST:PORT (wss for https).
std::string streaming_url(const std::string& backend);

}  // namespace sma_crossover
