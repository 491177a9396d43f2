#pragma once
// The kinds of moving average an indicator can use inside, and the factory that makes one.

#include <memory>
#include <optional>
#include <string_view>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// The moving averages make_ma() builds and the indicators with an `ma_type` parameter accept.
enum class MAType { ALMA, DEMA, EMA, HMA, KAMA, SMA, SMMA, T3, TEMA, TRIX, VWMA, WMA, ZLEMA };

// The member's name, as written in C++ ("EMA").
TOLBU_API std::string_view enum_name(MAType t);
// The member named `name` ("EMA"); absent for an unknown name.
TOLBU_API std::optional<MAType> ma_type_from_name(std::string_view name);

// A moving average of numbers with its usual defaults for the other parameters (ALMA offset
// 0.85 and sigma 6, KAMA 2 and 30, T3 factor 0.7). VWMA weighs by volume, so it needs OHLCV
// input: asking for it here is a ValueError.
TOLBU_API std::unique_ptr<Indicator<double, double>> make_ma(MAType type, int period,
                                                             const IndicatorOptions& options = {});

}  // namespace tolbu_sdk::ta
