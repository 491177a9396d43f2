#include "tolbu_sdk/ta/ma_type.hpp"

#include <array>
#include <string>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"

namespace tolbu_sdk::ta {
namespace {

constexpr std::array<std::string_view, 13> kNames{"ALMA", "DEMA", "EMA",  "HMA",  "KAMA",
                                                  "SMA",  "SMMA", "T3",   "TEMA", "TRIX",
                                                  "VWMA", "WMA",  "ZLEMA"};

}  // namespace

std::string_view enum_name(MAType t) { return kNames.at(static_cast<std::size_t>(t)); }

std::optional<MAType> ma_type_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<MAType>(i);
  }
  return std::nullopt;
}

std::unique_ptr<Indicator<double, double>> make_ma(MAType type, int period,
                                                   const IndicatorOptions& options) {
  switch (type) {
    case MAType::SMA:
      return std::make_unique<SMA>(period, options);
    case MAType::EMA:
      return std::make_unique<EMA>(period, options);
    case MAType::VWMA:
      throw ValueError("VWMA weighs by volume and cannot average a series of numbers");
    default:
      throw ValueError("moving average " + std::string(enum_name(type)) + " is not available");
  }
}

}  // namespace tolbu_sdk::ta
