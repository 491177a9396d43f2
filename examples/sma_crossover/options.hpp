#pragma once
// Command line of the example.

#include <iosfwd>
#include <optional>
#include <string>

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
};

// The usage text printed by --help.
std::string usage();

// Parses argv; absent when the program should end with exit_code (after --help, or after an
// error was written to err).
std::optional<Options> parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                                     int& exit_code);

// ws://HOST:PORT/connection/websocket for http://HOST:PORT (wss for https).
std::string streaming_url(const std::string& backend);

}  // namespace sma_crossover
