#pragma once
// Every log record is formatted, down to DEBUG, and then dropped: the log lines built from
// hostile input are exercised without flooding the fuzzer's output.

#include "tolbu_sdk/platform/logging.hpp"

#include <memory>
#include <string_view>

namespace tolbu_fuzz {

class DiscardHandler : public tolbu_sdk::logging::Handler {
 protected:
  void emit(std::string_view) override {}
};

inline void quiet_logs() {
  auto& root = tolbu_sdk::logging::root_logger();
  root.set_level(tolbu_sdk::logging::DEBUG);
  root.add_handler(std::make_shared<DiscardHandler>());
}

}  // namespace tolbu_fuzz
