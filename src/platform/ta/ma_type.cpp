#include "tolbu_sdk/ta/ma_type.hpp"

#include <array>
#include <string>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/averages/alma.hpp"
#include "tolbu_sdk/ta/averages/dema.hpp"
#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/averages/hma.hpp"
#include "tolbu_sdk/ta/averages/kama.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/averages/smma.hpp"
#include "tolbu_sdk/ta/averages/t3.hpp"
#include "tolbu_sdk/ta/averages/tema.hpp"
#include "tolbu_sdk/ta/averages/trix.hpp"
#include "tolbu_sdk/ta/averages/wma.hpp"
#include "tolbu_sdk/ta/averages/zlema.hpp"

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
    case MAType::ALMA:
      return std::make_unique<ALMA>(period, 0.85, 6.0, options);
    case MAType::DEMA:
      return std::make_unique<DEMA>(period, options);
    case MAType::EMA:
      return std::make_unique<EMA>(period, options);
    case MAType::HMA:
      return std::make_unique<HMA>(period, options);
    case MAType::KAMA:
      return std::make_unique<KAMA>(period, 2, 30, options);
    case MAType::SMA:
      return std::make_unique<SMA>(period, options);
    case MAType::SMMA:
      return std::make_unique<SMMA>(period, options);
    case MAType::T3:
      return std::make_unique<T3>(period, 0.7, options);
    case MAType::TEMA:
      return std::make_unique<TEMA>(period, options);
    case MAType::TRIX:
      return std::make_unique<TRIX>(period, options);
    case MAType::WMA:
      return std::make_unique<WMA>(period, options);
    case MAType::ZLEMA:
      return std::make_unique<ZLEMA>(period, options);
    case MAType::VWMA:
      break;
  }
  throw ValueError("VWMA weighs by volume and cannot average a series of numbers");
}

}  // namespace tolbu_sdk::ta
