#include "tolbu_sdk/platform/number_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

using tolbu_sdk::platform::number_text;

TEST(NumberText, WholeNumbersCarryPointZero) {
  EXPECT_EQ(number_text(0.0), "0.0");
  EXPECT_EQ(number_text(-0.0), "-0.0");
  EXPECT_EQ(number_text(150.0), "150.0");
  EXPECT_EQ(number_text(1250.0), "1250.0");
  EXPECT_EQ(number_text(-3.0), "-3.0");
  EXPECT_EQ(number_text(1e15), "1000000000000000.0");
}

TEST(NumberText, ShortestRoundTrip) {
  EXPECT_EQ(number_text(0.5), "0.5");
  EXPECT_EQ(number_text(0.1), "0.1");
  EXPECT_EQ(number_text(150.25), "150.25");
  EXPECT_EQ(number_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(number_text(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(number_text(123456.789), "123456.789");
  for (double v : {0.1, 2.675, 1e-3, 98765.4321, 5e-324, 1.7976931348623157e308})
    EXPECT_EQ(std::strtod(number_text(v).c_str(), nullptr), v) << number_text(v);
}

TEST(NumberText, ExponentBoundaryAtOneE16) {
  EXPECT_EQ(number_text(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(number_text(1e16), "1e+16");
  EXPECT_EQ(number_text(1.5e16), "1.5e+16");
  EXPECT_EQ(number_text(-1e16), "-1e+16");
  EXPECT_EQ(number_text(1.2345678901234568e17), "1.2345678901234568e+17");
  EXPECT_EQ(number_text(1e100), "1e+100");
  EXPECT_EQ(number_text(1.7976931348623157e308), "1.7976931348623157e+308");
}

TEST(NumberText, ExponentBoundaryAtOneEMinus4) {
  EXPECT_EQ(number_text(1e-4), "0.0001");
  EXPECT_EQ(number_text(0.00012), "0.00012");
  EXPECT_EQ(number_text(9.99e-5), "9.99e-05");
  EXPECT_EQ(number_text(1e-5), "1e-05");
  EXPECT_EQ(number_text(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(number_text(5e-324), "5e-324");
}

TEST(NumberText, NonFinite) {
  EXPECT_EQ(number_text(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(number_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(number_text(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(ReadDecimal, DecimalTextOnly) {
  using tolbu_sdk::platform::read_decimal;
  EXPECT_EQ(read_decimal("12.5"), 12.5);
  EXPECT_EQ(read_decimal(" -3e2\t"), -300.0);
  EXPECT_EQ(read_decimal("+7"), 7.0);
  EXPECT_EQ(read_decimal(".25"), 0.25);
  EXPECT_EQ(read_decimal("100046.96366823411"), std::strtod("100046.96366823411", nullptr));
  for (const char* bad : {"0x10", "0X1p4", "inf", "-nan", "infinity", "", " ", "1,5", "1.5x", "+-1",
                          "--1", "1e999", "e5", "12 5"})
    EXPECT_FALSE(read_decimal(bad).has_value()) << bad;
}
