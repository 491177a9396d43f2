// Behaviour of the volatility, trend and volume indicators beyond the reference vectors:
// update/remove restoring state, bounded history, sampling, degenerate bars and bad input.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/registry.hpp"
#include "tolbu_sdk/ta/support/rolling_regression.hpp"
#include "tolbu_sdk/ta/trend/adx.hpp"
#include "tolbu_sdk/ta/trend/super_trend.hpp"
#include "tolbu_sdk/ta/volatility/chop.hpp"
#include "tolbu_sdk/ta/volatility/mass_index.hpp"
#include "tolbu_sdk/ta/volatility/natr.hpp"
#include "tolbu_sdk/ta/volatility/rogers_satchell.hpp"
#include "tolbu_sdk/ta/volatility/sfx.hpp"
#include "tolbu_sdk/ta/volume/emv.hpp"
#include "tolbu_sdk/ta/volume/kvo.hpp"
#include "tolbu_sdk/ta/volume/vwap.hpp"

namespace tolbu_sdk::ta {
namespace {

struct Entry {
  const char* name;
  std::vector<ParamValue> params;
};

// Every indicator of the family, with the parameters of the reference vectors.
const std::vector<Entry>& family() {
  static const std::vector<Entry> entries = {
      {"ADX", {14.0, 14.0}},
      {"ATR", {14.0}},
      {"CHOP", {14.0}},
      {"ChandeKrollStop", {10.0, 1.0, 9.0}},
      {"DonchianChannels", {20.0}},
      {"KeltnerChannels", {20.0, 10.0, 2.0, 2.0}},
      {"MassIndex", {9.0, 9.0, 25.0}},
      {"NATR", {14.0}},
      {"RogersSatchell", {20.0}},
      {"SFX", {12.0, 12.0, 3.0}},
      {"SuperTrend", {10.0, 3.0}},
      {"TTM", {20.0}},
      {"AccuDist", {}},
      {"ChaikinOsc", {3.0, 10.0}},
      {"EMV", {14.0, 10000.0}},
      {"ForceIndex", {13.0}},
      {"KVO", {34.0, 55.0}},
      {"OBV", {}},
      {"SOBV", {20.0}},
      {"VWAP", {}},
  };
  return entries;
}

std::unique_ptr<IndicatorBase> make(const Entry& s, const IndicatorOptions& o = {}) {
  return create_indicator(s.name, s.params, {}, o);
}

// A reproducible random walk of one-minute bars; every `flat_every`-th bar has no range.
std::vector<OHLCV> walk(std::size_t n, int flat_every = 0) {
  std::vector<OHLCV> bars;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
  };
  const auto start = platform::make_local(2024, 3, 4, 9, 0, 0);
  double close = 100.0;
  for (std::size_t i = 0; i < n; ++i) {
    OHLCV b;
    b.open = close;
    close = std::max(1.0, close + (next() - 0.5) * 2.0);
    b.close = close;
    b.high = std::max(b.open, b.close) + next();
    b.low = std::min(b.open, b.close) - next();
    b.volume = std::floor(100.0 + next() * 5000.0);
    if (flat_every != 0 && i % static_cast<std::size_t>(flat_every) == 0) {
      b.open = b.high = b.low = b.close;
    }
    b.time = start + std::chrono::minutes(i);
    bars.push_back(b);
  }
  return bars;
}

bool near(double a, double b) { return std::abs(a - b) <= 1e-9 * std::max(1.0, std::abs(b)); }

bool near(const FieldValue& a, const FieldValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) return near(*x, std::get<double>(b));
  return a == b;
}

bool near(const Value& a, const Value& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) return near(*x, std::get<double>(b));
  if (const Record* r = std::get_if<Record>(&a)) {
    const Record& s = std::get<Record>(b);
    if (r->size() != s.size()) return false;
    for (std::size_t i = 0; i < r->size(); ++i) {
      if ((*r)[i].name != s[i].name || !near((*r)[i].value, s[i].value)) return false;
    }
    return true;
  }
  return a == b;
}

std::string text(const Value& v) {
  if (std::holds_alternative<std::monostate>(v)) return "absent";
  if (const double* d = std::get_if<double>(&v)) return std::to_string(*d);
  std::string out = "{";
  if (const Record* r = std::get_if<Record>(&v)) {
    for (const Field& f : *r) {
      out += std::string(f.name) + ":";
      if (const double* d = std::get_if<double>(&f.value)) {
        out += std::to_string(*d);
      } else if (const bool* b = std::get_if<bool>(&f.value)) {
        out += *b ? "true" : "false";
      } else if (const auto* s = std::get_if<std::string_view>(&f.value)) {
        out += std::string(*s);
      } else {
        out += "absent";
      }
      out += " ";
    }
  }
  return out + "}";
}

// The newest `n` outputs of a and b agree (both hold at least n).
void expect_same_tail(const std::string& what, const IndicatorBase& a, const IndicatorBase& b,
                      std::size_t n) {
  ASSERT_GE(a.size(), n) << what;
  ASSERT_GE(b.size(), n) << what;
  for (std::size_t k = 1; k <= n; ++k) {
    const auto i = -static_cast<std::ptrdiff_t>(k);
    const Value x = a.output_value(i);
    const Value y = b.output_value(i);
    ASSERT_TRUE(near(x, y)) << what << " at " << i << ": " << text(x) << " vs " << text(y);
  }
}

// Each number in an output is finite.
bool finite(const Value& v) {
  if (const double* d = std::get_if<double>(&v)) return std::isfinite(*d);
  if (const Record* r = std::get_if<Record>(&v)) {
    for (const Field& f : *r) {
      if (const double* d = std::get_if<double>(&f.value); d && !std::isfinite(*d)) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------

TEST(VolVolFamily, UpdateAndRemoveRestoreTheState) {
  const auto bars = walk(320, 17);
  for (const Entry& s : family()) {
    if (!Registry::instance().contains(s.name)) ADD_FAILURE() << s.name << " is not registered";
    if (!Registry::instance().contains(s.name)) continue;
    auto edited = make(s);
    auto fresh = make(s);
    // Edited: bars 0..199, a wrong bar updated twice then dropped, three bars added and
    // removed again, then 200..319. Fresh: 0..319 once.
    for (std::size_t i = 0; i < 200; ++i) edited->add_value(bars[i]);
    edited->add_value(bars[250]);
    edited->update_value(bars[260]);
    edited->update_value(bars[270]);
    edited->remove();
    for (std::size_t i = 280; i < 283; ++i) edited->add_value(bars[i]);
    for (int i = 0; i < 3; ++i) edited->remove();
    for (std::size_t i = 200; i < bars.size(); ++i) edited->add_value(bars[i]);
    for (const OHLCV& b : bars) fresh->add_value(b);
    EXPECT_EQ(edited->size(), fresh->size()) << s.name;
    expect_same_tail(s.name, *edited, *fresh, bars.size());
  }
}

TEST(VolVolFamily, RemovingEverythingStartsAfresh) {
  const auto bars = walk(150);
  for (const Entry& s : family()) {
    if (!Registry::instance().contains(s.name)) continue;
    auto ind = make(s);
    auto fresh = make(s);
    for (std::size_t i = 0; i < 90; ++i) ind->add_value(bars[i]);
    ind->remove_all();
    EXPECT_EQ(ind->size(), 0u) << s.name;
    for (std::size_t i = 60; i < bars.size(); ++i) ind->add_value(bars[i]);
    for (std::size_t i = 60; i < bars.size(); ++i) fresh->add_value(bars[i]);
    expect_same_tail(s.name, *ind, *fresh, bars.size() - 60);
  }
}

TEST(VolVolFamily, BoundedHistoryKeepsTheSameValues) {
  const auto bars = walk(600, 23);
  for (const Entry& s : family()) {
    if (!Registry::instance().contains(s.name)) continue;
    auto bounded = make(s, IndicatorOptions{.max_history = 40});
    auto full = make(s);
    for (const OHLCV& b : bars) {
      bounded->add_value(b);
      full->add_value(b);
    }
    EXPECT_LE(bounded->size(), 100u) << s.name << " grows without bound";
    // A removal within the kept history still restores the state.
    bounded->remove();
    full->remove();
    bounded->add_value(bars[5]);
    full->add_value(bars[5]);
    expect_same_tail(s.name, *bounded, *full, 30);
  }
}

TEST(VolVolFamily, SampledInputFoldsIntoThePeriodsNewestBar) {
  // Five one-minute bars per MIN_5 period: sampling keeps the last of each period, which is
  // what an unsampled indicator fed only those bars sees.
  const auto bars = walk(500, 11);
  for (const Entry& s : family()) {
    if (!Registry::instance().contains(s.name)) continue;
    auto sampled = make(s, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
    auto direct = make(s);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      sampled->add_value(bars[i]);
      if (i % 5 == 4) direct->add_value(bars[i]);
    }
    EXPECT_EQ(sampled->size(), direct->size()) << s.name;
    expect_same_tail(s.name, *sampled, *direct, direct->size());
  }
}

TEST(VolVolFamily, FlatBarsAndZeroVolumeGiveNoNaN) {
  // Long runs without range or volume, then movement: every guarded division must hold.
  std::vector<OHLCV> bars(120, OHLCV{50.0, 50.0, 50.0, 50.0, 0.0, std::nullopt});
  for (std::size_t i = 60; i < 90; ++i) bars[i].volume = 1000.0;  // flat but traded
  for (const OHLCV& b : walk(80)) bars.push_back(OHLCV{b.open, b.high, b.low, b.close, 0.0, {}});
  for (const Entry& s : family()) {
    if (!Registry::instance().contains(s.name)) continue;
    auto ind = make(s);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      ind->add_value(bars[i]);
      ASSERT_TRUE(finite(ind->output_value(-1)))
          << s.name << " at bar " << i << ": " << text(ind->output_value(-1));
    }
  }
}

// ---------------------------------------------------------------------------------------

TEST(VolVolGuards, DivisionsWithoutADivisor) {
  const OHLCV flat{10.0, 10.0, 10.0, 10.0, 500.0, {}};
  const OHLCV moved{10.0, 12.0, 9.0, 11.0, 0.0, {}};

  EMV emv(1, 10000.0);
  emv.add(flat);
  emv.add(moved);  // range but no volume
  EXPECT_EQ(emv.value(), 0.0);
  emv.add(flat);  // volume but no range
  EXPECT_EQ(emv.value(), 0.0);

  VWAP vwap;
  vwap.add(moved);
  EXPECT_FALSE(vwap.value()) << "no volume traded yet";
  vwap.add(flat);
  EXPECT_DOUBLE_EQ(*vwap.value(), 10.0);

  NATR natr(1);
  natr.add(OHLCV{0.0, 1.0, 0.0, 0.0, 1.0, {}});
  EXPECT_FALSE(natr.value()) << "no percentage of a zero close";

  CHOP chop(3);
  for (int i = 0; i < 5; ++i) chop.add(flat);
  EXPECT_FALSE(chop.value()) << "a window without range";
}

TEST(VolVolGuards, KlingerForceRestartsOnATurn) {
  // KVO(1, 2) first answers VF3 - (VF2 + VF3) / 2. Bar 1 sets the trend (rising, dm 2);
  // bar 2 keeps it (dm 3, cm 2 + 3): VF2 = 100 * |2 (3/5 - 1)| * 100 = 8000; bar 3 turns
  // (dm 2, cm restarts from the previous dm: 3 + 2): VF3 = -100 * |2 (2/5 - 1)| * 100.
  KVO kvo(1, 2);
  kvo.add(OHLCV{10, 11, 9, 10, 100, {}});
  kvo.add(OHLCV{10, 12, 10, 11, 100, {}});
  kvo.add(OHLCV{11, 13, 10, 12, 100, {}});
  EXPECT_FALSE(kvo.value());
  kvo.add(OHLCV{12, 12.5, 10.5, 11, 100, {}});
  ASSERT_TRUE(kvo.value());
  EXPECT_NEAR(*kvo.value(), (-12000.0 - 8000.0) / 2.0, 1e-9);
}

TEST(VolVolGuards, BadParametersAndBadBars) {
  EXPECT_THROW(CHOP(1), ValueError);
  EXPECT_THROW(NATR(0), ValueError);
  EXPECT_THROW(EMV(14, 0.0), ValueError);
  EXPECT_THROW(create_indicator("SuperTrend", {0.0, 3.0}), ValueError);
  EXPECT_THROW(create_indicator("KeltnerChannels", {20.0, 10.0, 2.0, 2.0, std::string("WMA?")}),
               ValueError);

  // A non-positive price is refused, and the refusal leaves the indicator as it was.
  const auto bars = walk(30);
  RogersSatchell a(5);
  RogersSatchell b(5);
  for (std::size_t i = 0; i < 20; ++i) {
    a.add(bars[i]);
    b.add(bars[i]);
  }
  EXPECT_THROW(a.add(OHLCV{1.0, 2.0, 0.0, 1.0, 10.0, {}}), ValueError);
  for (std::size_t i = 20; i < bars.size(); ++i) {
    a.add(bars[i]);
    b.add(bars[i]);
  }
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a.value(), b.value());
}

TEST(VolVolGuards, SuperTrendFollowsTheBandItSits) {
  SuperTrend st(3, 1.0);
  const auto bars = walk(200);
  for (const OHLCV& b : bars) st.add(b);
  std::size_t ups = 0;
  std::size_t downs = 0;
  for (std::size_t i = 4; i < bars.size(); ++i) {
    const auto& v = st[static_cast<std::ptrdiff_t>(i)];
    ASSERT_TRUE(v && v->value && v->trend);
    // An up trend's line is a support below the close, a down trend's a resistance above.
    if (*v->trend == Trend::UP) {
      ++ups;
      EXPECT_LE(*v->value, bars[i].close) << i;
    } else {
      ++downs;
      EXPECT_GE(*v->value, bars[i].close) << i;
    }
  }
  EXPECT_GT(ups, 10u);
  EXPECT_GT(downs, 10u);
}

// ---------------------------------------------------------------------------------------
// Parameters the vectors cannot tell apart (equal periods there).

TEST(VolVolPeriods, ADXSmoothsDirectionAndTrendOverTheirOwnPeriods) {
  // A batch ADX from Wilder's description: DI over di_period, ADX over adx_period.
  const auto bars = walk(120, 13);
  const std::size_t p = 5;
  const std::size_t q = 3;
  std::vector<double> tr, pdm, mdm;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const OHLCV& b = bars[i];
    if (i == 0) {
      tr.push_back(b.high - b.low);
      continue;
    }
    const OHLCV& a = bars[i - 1];
    tr.push_back(std::max({b.high - b.low, std::abs(b.high - a.close), std::abs(b.low - a.close)}));
    const double up = b.high - a.high;
    const double down = a.low - b.low;
    pdm.push_back(up > down && up > 0 ? up : 0.0);
    mdm.push_back(down > up && down > 0 ? down : 0.0);
  }
  const auto wilder = [](const std::vector<double>& x, std::size_t n) {
    std::vector<double> out;
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (i < n) {
        s += x[i];
        if (i + 1 == n) out.push_back(s / n);
      } else {
        out.push_back((out.back() * (n - 1) + x[i]) / n);
      }
    }
    return out;
  };
  const auto atr = wilder(tr, p);    // atr[k] belongs to bar k + p - 1
  const auto spdm = wilder(pdm, p);  // spdm[k] belongs to bar k + p
  const auto smdm = wilder(mdm, p);
  std::vector<double> dx, pdi, mdi;
  for (std::size_t k = 0; k < spdm.size(); ++k) {
    pdi.push_back(100 * spdm[k] / atr[k + 1]);
    mdi.push_back(100 * smdm[k] / atr[k + 1]);
    dx.push_back(100 * std::abs(pdi[k] - mdi[k]) / (pdi[k] + mdi[k]));
  }
  const auto adx = wilder(dx, q);  // adx[k] belongs to bar k + p + q - 1

  ADX ind(static_cast<int>(p), static_cast<int>(q));
  for (const OHLCV& b : bars) ind.add(b);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const auto& v = ind[static_cast<std::ptrdiff_t>(i)];
    ASSERT_EQ(v.has_value(), i >= p) << i;
    if (!v) continue;
    EXPECT_TRUE(near(*v->plus_di, pdi[i - p])) << i;
    EXPECT_TRUE(near(*v->minus_di, mdi[i - p])) << i;
    ASSERT_EQ(v->adx.has_value(), i >= p + q - 1) << i;
    if (v->adx) {
      EXPECT_TRUE(near(*v->adx, adx[i - p - q + 1])) << i;
    }
  }
}

TEST(VolVolPeriods, SFXPartsUseTheirOwnPeriods) {
  const auto bars = walk(60);
  SFX sfx(5, 8, 3);
  ATR atr(5);
  for (const OHLCV& b : bars) {
    sfx.add(b);
    atr.add(b);
  }
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const auto& v = sfx[static_cast<std::ptrdiff_t>(i)];
    ASSERT_TRUE(v);
    EXPECT_EQ(v->atr.has_value(), i >= 4) << i;
    if (v->atr) {
      EXPECT_TRUE(near(*v->atr, *atr[static_cast<std::ptrdiff_t>(i)])) << i;
    }
    ASSERT_EQ(v->std_dev.has_value(), i >= 7) << i;
    EXPECT_EQ(v->ma_std_dev.has_value(), i >= 9) << i;
    if (!v->std_dev) continue;
    double mean = 0.0;
    for (std::size_t k = i - 7; k <= i; ++k) mean += bars[k].close / 8.0;
    double var = 0.0;
    for (std::size_t k = i - 7; k <= i; ++k)
      var += (bars[k].close - mean) * (bars[k].close - mean) / 8.0;
    EXPECT_TRUE(near(*v->std_dev, std::sqrt(var))) << i;
  }
}

TEST(VolVolPeriods, MassIndexWaitsForAFullWindowOfRatios) {
  // With simple averages the ratios start at bar 4 + 3 - 2 and fill the window of 6 later.
  const auto bars = walk(40);
  MassIndex mi(4, 3, 6, MAType::SMA);
  for (const OHLCV& b : bars) mi.add(b);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    EXPECT_EQ(mi[static_cast<std::ptrdiff_t>(i)].has_value(), i >= 4 + 3 + 6 - 3) << i;
  }
  // A flat market: single and double averages agree, each ratio is 1.
  MassIndex flat(4, 3, 6, MAType::SMA);
  for (int i = 0; i < 20; ++i) flat.add(OHLCV{5, 5, 5, 5, 1, {}});
  EXPECT_DOUBLE_EQ(*flat.value(), 6.0);
}

TEST(VolVolSupport, RollingRegressionMatchesABatchFitThroughEdits) {
  const auto batch = [](const std::vector<double>& y, std::size_t period) {
    const std::size_t n = std::min(period, y.size());
    double mx = (n - 1) / 2.0, my = 0.0;
    for (std::size_t i = y.size() - n; i < y.size(); ++i) my += y[i] / n;
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      sxy += (j - mx) * (y[y.size() - n + j] - my);
      sxx += (j - mx) * (j - mx);
    }
    return n < 2 ? my : my + sxy / sxx * (n - 1 - mx);
  };
  support::RollingRegression r(7);
  std::vector<double> y;
  const auto bars = walk(200);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    r.push(bars[i].close);
    y.push_back(bars[i].close);
    if (i % 3 == 2) {  // an update: undo and push another value
      r.undo();
      y.pop_back();
      r.push(bars[i].open);
      y.push_back(bars[i].open);
    }
    ASSERT_NEAR(r.value(), batch(y, 7), 1e-9) << i;
  }
}

}  // namespace
}  // namespace tolbu_sdk::ta
