// A refused change leaves every indicator of a chain as it was; inputs that are not finite are
// refused before anything changes.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "family_helpers.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/momentum/coppock_curve.hpp"
#include "tolbu_sdk/ta/statistics/std_dev.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using testing::closes;

// What an indicator holds, to compare before and after a refused change.
struct Snapshot {
  std::vector<Value> outputs;
  std::size_t inputs = 0;
  std::size_t count = 0;

  template <class I>
  static Snapshot of(const I& ind) {
    Snapshot s;
    for (std::size_t i = 0; i < ind.size(); ++i) {
      s.outputs.push_back(ind.output_value(static_cast<std::ptrdiff_t>(i)));
    }
    s.inputs = ind.input_values().size();
    s.count = ind.input_count();
    return s;
  }
  bool operator==(const Snapshot&) const = default;
};

// Refuses (throws on) any value above the limit; passes the rest.
InputModifier refusing_above(double limit) {
  return [limit](const Value& v) -> Value {
    if (const double* d = std::get_if<double>(&v); d != nullptr && *d > limit) {
      throw ValueError("too large");
    }
    return v;
  };
}

TEST(ExceptionSafety, RefusedUpdateLeavesTheWholeChainAsItWas) {
  const auto xs = closes(30);
  SMA source(3);
  EMA told_first(4, {.input_indicator = &source});
  EMA refusing(2, {.input_indicator = &source, .input_modifier = refusing_above(1000.0)});
  SMA downstream(2, {.input_indicator = &told_first});
  source.add(xs);
  const auto before = std::make_tuple(Snapshot::of(source), Snapshot::of(told_first),
                                      Snapshot::of(refusing), Snapshot::of(downstream));

  // The source takes the update, its second dependent refuses the new output.
  EXPECT_THROW(source.update(10000.0), ValueError);
  EXPECT_EQ(std::make_tuple(Snapshot::of(source), Snapshot::of(told_first), Snapshot::of(refusing),
                            Snapshot::of(downstream)),
            before);
  // The same for a new input, and for a refused input of the wrong kind or not finite.
  EXPECT_THROW(source.add(10000.0), ValueError);
  EXPECT_THROW(source.update_value(OHLCV{1, 2, 0, 1, 5}), TypeError);
  EXPECT_THROW(source.update(kNaN), ValueError);
  EXPECT_EQ(std::make_tuple(Snapshot::of(source), Snapshot::of(told_first), Snapshot::of(refusing),
                            Snapshot::of(downstream)),
            before);

  // And everything goes on as if nothing had been tried.
  source.update(xs.back() + 1.0);
  source.add(xs.front());
  SMA fresh(3);
  EMA fresh_first(4, {.input_indicator = &fresh});
  EMA fresh_refusing(2, {.input_indicator = &fresh});
  SMA fresh_downstream(2, {.input_indicator = &fresh_first});
  fresh.add(std::vector<double>(xs.begin(), xs.end() - 1));
  fresh.add(xs.back() + 1.0);
  fresh.add(xs.front());
  EXPECT_EQ(Snapshot::of(source), Snapshot::of(fresh));
  EXPECT_EQ(Snapshot::of(told_first), Snapshot::of(fresh_first));
  EXPECT_EQ(Snapshot::of(refusing), Snapshot::of(fresh_refusing));
  EXPECT_EQ(Snapshot::of(downstream), Snapshot::of(fresh_downstream));
}

TEST(ExceptionSafety, ThrowingModifierOnTheIndicatorItselfChangesNothing) {
  SMA sma(2, {.input_modifier = refusing_above(50.0)});
  EMA dependent(2, {.input_indicator = &sma});
  sma.add({1.0, 2.0, 3.0});
  const Snapshot mine = Snapshot::of(sma);
  const Snapshot theirs = Snapshot::of(dependent);
  EXPECT_THROW(sma.update(60.0), ValueError);
  EXPECT_THROW(sma.add(60.0), ValueError);
  EXPECT_EQ(Snapshot::of(sma), mine);
  EXPECT_EQ(Snapshot::of(dependent), theirs);
  EXPECT_DOUBLE_EQ(*sma.value(), 2.5);
}

TEST(ExceptionSafety, RefusedRemovalPutsTheInputBack) {
  // A dependent with a bounded history cannot remove further than it holds.
  struct PassThrough : Indicator<double, double> {
    explicit PassThrough(const IndicatorOptions& o = {}) : Indicator(o) {}
    std::optional<double> _calculate_new_value() override { return input_values().back(); }
  };
  struct Diff : Indicator<double, double> {
    explicit Diff(const IndicatorOptions& o) : Indicator(o) { _keep_history(2); }
    std::optional<double> _calculate_new_value() override {
      if (input_count() < 2) return std::nullopt;
      return input_values().back() - input_values().back(1);
    }
  };
  PassThrough source;
  SMA first(2, {.input_indicator = &source});
  Diff bounded({.input_indicator = &source, .max_history = 1});
  const auto xs = closes(20);
  source.add(xs);
  source.remove();  // the bounded history holds three inputs: one may go
  const Snapshot before = Snapshot::of(source);
  const Snapshot first_before = Snapshot::of(first);
  EXPECT_THROW(source.remove(), ValueError);
  EXPECT_EQ(Snapshot::of(source), before);
  EXPECT_EQ(Snapshot::of(first), first_before);
  EXPECT_DOUBLE_EQ(*bounded.value(), xs[18] - xs[17]);
}

TEST(NonFiniteInput, IsRefusedBeforeAnythingChanges) {
  const auto xs = closes(40);
  StdDev sd(5);
  SMA sma(5);
  sd.add(std::vector<double>(xs.begin(), xs.begin() + 20));
  sma.add(std::vector<double>(xs.begin(), xs.begin() + 20));
  const Snapshot sd_before = Snapshot::of(sd);
  for (double bad : {kNaN, kInf, -kInf}) {
    EXPECT_THROW(sd.add(bad), ValueError);
    EXPECT_THROW(sd.update(bad), ValueError);
    EXPECT_THROW(sma.add_value(Value(bad)), ValueError);
  }
  EXPECT_EQ(Snapshot::of(sd), sd_before);
  // The running sums never saw them: the values are those of a clean run.
  sd.add(std::vector<double>(xs.begin() + 20, xs.end()));
  StdDev clean(5);
  clean.add(xs);
  EXPECT_EQ(Snapshot::of(sd), Snapshot::of(clean));
  EXPECT_GT(*sd.value(), 0.0);

  // Any field of a bar, and what a modifier makes of an input.
  ATR atr(3);
  atr.add({OHLCV{1, 2, 0.5, 1.5, 10}, OHLCV{1.5, 2.5, 1, 2, 10}});
  const Snapshot atr_before = Snapshot::of(atr);
  EXPECT_THROW(atr.add(OHLCV{1, kNaN, 0.5, 1.5, 10}), ValueError);
  EXPECT_THROW(atr.add(OHLCV{1, 2, 0.5, 1.5, kInf}), ValueError);
  EXPECT_THROW(atr.update(OHLCV{kNaN, 2, 0.5, 1.5, 10}), ValueError);
  EXPECT_EQ(Snapshot::of(atr), atr_before);
  SMA halved(2, {.input_modifier = [](const Value& v) -> Value {
               return std::get<double>(v) > 0 ? std::get<double>(v) / 2 : kNaN;
             }});
  halved.add(4.0);
  EXPECT_THROW(halved.add(-1.0), ValueError);
  EXPECT_EQ(halved.size(), 1u);
}

TEST(NonFiniteInput, InnerPartsLeaveOverflowToTheirOwner) {
  // Finite inputs whose rate of change overflows: the inner WMA takes the infinite value its
  // owner computed instead of throwing half-way through an input, and removal still works.
  CoppockCurve cc(1, 2, 1);
  for (double x : {1e-300, 1e-300, 1e-300}) cc.add(x);
  EXPECT_NO_THROW(cc.add(1e300));
  ASSERT_TRUE(cc.value());
  EXPECT_TRUE(std::isinf(*cc.value()));
  cc.remove();
  cc.add(2e-300);
  ASSERT_TRUE(cc.value());
  EXPECT_DOUBLE_EQ(*cc.value(), 100.0 + 100.0);
}

}  // namespace
}  // namespace tolbu_sdk::ta
