#pragma once
// Parameter checks shared by the indicators' constructors.

#include <cmath>
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

// A NaN or infinite setting would make every value NaN: refused like a NaN input.
inline double finite(std::string_view indicator, std::string_view param, double v) {
  if (!std::isfinite(v)) {
    throw ValueError(std::string(indicator) + ": " + std::string(param) + " must be a finite number");
  }
  return v;
}

}  // namespace tolbu_sdk::ta::detail
