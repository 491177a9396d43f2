#pragma once

#include "tolbu_sdk/platform/logging.hpp"

// control_server: the control API's HTTP side, private to the library (sessions, query
// parsing, the dashboard page, and this log).
namespace tolbu_sdk::control_server {

inline logging::Logger& control_log() {
  static logging::Logger& logger = logging::get_logger("tolbu_sdk.control");
  return logger;
}

}  // namespace tolbu_sdk::control_server
