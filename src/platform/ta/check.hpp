#pragma once
// Parameter checks shared by the indicators' constructors.

#include <string>
#include <string_view>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::ta::detail {

inline int positive(std::string_view indicator, std::string_view param, int v) {
  if (v < 1) {
    throw ValueError(std::string(indicator) + ": " + std::string(param) +
                     " must be at least 1, not " + std::to_string(v));
  }
  return v;
}

}  // namespace tolbu_sdk::ta::detail
