#pragma once
// Fibonacci retracement levels: not an indicator but the usual coefficients and the level
// they give from a value (value + value * coefficient).

#include <array>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::ta {

// The usual Fibonacci retracement coefficients and the level each gives from a value.
class TOLBU_API FibonacciRetracement {
 public:
  // 0.236 to 3.618, ascending.
  static constexpr std::array<double, 9> COEFFICIENTS{0.236, 0.382, 0.5,   0.618, 0.786,
                                                      1.0,   1.618, 2.618, 3.618};

  // The level `value` + `value` * `coefficient`.
  static constexpr double calculate(double coefficient, double value) {
    return value + value * coefficient;
  }
};

}  // namespace tolbu_sdk::ta
