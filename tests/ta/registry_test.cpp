// The name-based factory and its parameter reading.

#include <gtest/gtest.h>

#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/levels/fibonacci_retracement.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {

TEST(Registry, BuildsByNameWithPositionalOrNamedParameters) {
  auto& r = Registry::instance();
  EXPECT_TRUE(r.contains("SMA"));
  EXPECT_TRUE(r.contains("EMA"));
  const auto names = r.names();
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));

  auto a = create_indicator("EMA", {3.0});
  auto b = create_indicator("EMA", {}, {{"period", 3.0}});
  for (double x : {1.0, 2.0, 3.0, 4.0}) {
    a->add_value(x);
    b->add_value(x);
  }
  EXPECT_EQ(a->input_kind(), InputKind::NUMBER);
  EXPECT_DOUBLE_EQ(std::get<double>(a->output_value(-1)), 3.0);
  EXPECT_EQ(a->output_value(-1), b->output_value(-1));
  EXPECT_NE(dynamic_cast<EMA*>(a.get()), nullptr);
}

TEST(Registry, RejectsWhatIsNotAValidConstruction) {
  EXPECT_THROW(create_indicator("NoSuchThing", {1.0}), ValueError);
  EXPECT_THROW(create_indicator("SMA"), TypeError);                            // missing
  EXPECT_THROW(create_indicator("SMA", {2.0, 3.0}), TypeError);                // too many
  EXPECT_THROW(create_indicator("SMA", {}, {{"periods", 2.0}}), TypeError);    // unknown name
  EXPECT_THROW(create_indicator("SMA", {2.0}, {{"period", 2.0}}), TypeError);  // twice
  EXPECT_THROW(create_indicator("SMA", {2.5}), ValueError);                    // not whole
  EXPECT_THROW(create_indicator("SMA", {std::string("x")}), TypeError);
}

TEST(Registry, ReadsMATypeByMemberName) {
  Params p("X", {}, {{"ma_type", std::string("WMA")}});
  EXPECT_EQ(p.ma_type("ma_type", MAType::SMA), MAType::WMA);
  Params q("X", {}, {});
  EXPECT_EQ(q.ma_type("ma_type", MAType::EMA), MAType::EMA);
  Params bad("X", {}, {{"ma_type", std::string("FOO")}});
  EXPECT_THROW(bad.ma_type("ma_type", MAType::SMA), ValueError);
  for (int i = 0; i <= static_cast<int>(MAType::ZLEMA); ++i) {
    const auto t = static_cast<MAType>(i);
    EXPECT_EQ(ma_type_from_name(enum_name(t)), t);
  }
  EXPECT_THROW(make_ma(MAType::VWMA, 10), ValueError);
  auto ema = make_ma(MAType::EMA, 2);
  ema->add({1.0, 3.0});
  EXPECT_DOUBLE_EQ(*ema->value(), 2.0);
}

TEST(FibonacciRetracement, LevelsAreValuePlusValueTimesCoefficient) {
  using F = FibonacciRetracement;
  ASSERT_EQ(F::COEFFICIENTS.size(), 9u);
  EXPECT_DOUBLE_EQ(F::COEFFICIENTS.front(), 0.236);
  EXPECT_DOUBLE_EQ(F::COEFFICIENTS.back(), 3.618);
  EXPECT_DOUBLE_EQ(F::calculate(0.618, 100.0), 161.8);
  EXPECT_DOUBLE_EQ(F::calculate(1.0, 50.0), 100.0);
}

}  // namespace
}  // namespace tolbu_sdk::ta
