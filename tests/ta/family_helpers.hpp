#pragma once
// Bars and value comparisons shared by the family tests (momentum, trend, levels).

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta::testing {

// A reproducible, wavering series of closes.
inline std::vector<double> closes(int n) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(100.0 + (i * 37 % 11) - 0.5 * (i % 3));
  return v;
}

// A bar of the given high and low, opening at the low and closing at the high.
inline OHLCV hl(double high, double low) { return OHLCV{low, high, low, high, 1.0, std::nullopt}; }

// A reproducible random walk of one-minute bars, with a flat bar now and then.
inline std::vector<OHLCV> random_bars(std::size_t n, unsigned seed = 7, double start = 100.0) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> step(0.0, 0.6);
  std::uniform_real_distribution<double> wick(0.0, 0.8);
  std::uniform_int_distribution<int> volume(100, 5000);
  std::vector<OHLCV> bars;
  double close = start;
  const std::int64_t t0 = 1709542800000;
  for (std::size_t i = 0; i < n; ++i) {
    OHLCV b;
    b.open = close;
    close = std::max(1.0, close + step(gen));
    b.close = close;
    b.high = std::max(b.open, b.close) + wick(gen);
    b.low = std::min(b.open, b.close) - wick(gen);
    if (i % 37 == 5) b.high = b.low = b.close = b.open;
    b.volume = volume(gen);
    b.time =
        platform::from_epoch_ms(static_cast<double>(t0 + static_cast<std::int64_t>(i) * 60000));
    bars.push_back(b);
  }
  return bars;
}

inline OHLCV flat_bar(double price, double volume = 0.0) {
  return OHLCV{price, price, price, price, volume, std::nullopt};
}

inline bool near(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  return std::abs(a - b) <= 1e-9 * std::max({1.0, std::abs(a), std::abs(b)});
}

inline bool near(const FieldValue& a, const FieldValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) return near(*x, std::get<double>(b));
  if (const OHLCV* x = std::get_if<OHLCV>(&a)) return *x == std::get<OHLCV>(b);
  return a == b;
}

inline bool near(const Value& a, const Value& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) return near(*x, std::get<double>(b));
  if (const Record* x = std::get_if<Record>(&a)) {
    const Record& y = std::get<Record>(b);
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if ((*x)[i].name != y[i].name || !near((*x)[i].value, y[i].value)) return false;
    }
    return true;
  }
  return a == b;
}

inline std::string show(const Value& v) {
  if (std::holds_alternative<std::monostate>(v)) return "absent";
  if (const double* d = std::get_if<double>(&v)) return std::to_string(*d);
  if (const Record* r = std::get_if<Record>(&v)) {
    std::string s = "{";
    for (const Field& f : *r) {
      s += std::string(f.name) + ":";
      if (const double* d = std::get_if<double>(&f.value)) {
        s += std::to_string(*d);
      } else if (const auto* e = std::get_if<std::string_view>(&f.value)) {
        s += std::string(*e);
      } else if (const OHLCV* o = std::get_if<OHLCV>(&f.value)) {
        s += "bar@" + std::to_string(o->close);
      } else {
        s += "-";
      }
      s += " ";
    }
    return s + "}";
  }
  return "bar";
}

// Every number in a value is finite (no NaN or infinity from a division).
inline bool finite(const Value& v) {
  if (const double* d = std::get_if<double>(&v)) return std::isfinite(*d);
  if (const Record* r = std::get_if<Record>(&v)) {
    for (const Field& f : *r) {
      if (const double* d = std::get_if<double>(&f.value); d && !std::isfinite(*d)) return false;
    }
  }
  return true;
}

// The outputs of two indicators agree one by one.
inline ::testing::AssertionResult same_outputs(const IndicatorBase& got,
                                               const IndicatorBase& want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << got.size() << " outputs, want " << want.size();
  }
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto k = static_cast<std::ptrdiff_t>(i);
    if (!near(got.output_value(k), want.output_value(k))) {
      return ::testing::AssertionFailure() << "at " << i << ": " << show(got.output_value(k))
                                           << ", want " << show(want.output_value(k));
    }
  }
  return ::testing::AssertionSuccess();
}

inline Value input_for(const IndicatorBase& ind, const OHLCV& bar) {
  if (ind.input_kind() == InputKind::OHLCV) return bar;
  return bar.close;
}

}  // namespace tolbu_sdk::ta::testing
