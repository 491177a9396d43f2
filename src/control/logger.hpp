#pragma once

#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::control_detail {

inline logging::Logger& control_log() {
  static logging::Logger& logger = logging::get_logger("tolbu_sdk.control");
  return logger;
}

}  // namespace tolbu_sdk::control_detail
