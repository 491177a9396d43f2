// Integer and query edges that the routes only touch lightly.

#include <gtest/gtest.h>

#include <limits>

#include "query.hpp"

namespace {

using namespace tolbu_sdk::control_detail;

TEST(QueryText, IntegersAtTheEdgesOfTheRange) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(parse_integer("9223372036854775807").value, kMax);
  EXPECT_EQ(parse_integer("-9223372036854775808").value, kMin);
  EXPECT_EQ(parse_integer("9223372036854775808").error, IntegerError::out_of_range);
  EXPECT_EQ(parse_integer("-9223372036854775809").error, IntegerError::out_of_range);
  EXPECT_EQ(parse_integer(" \t42 ").value, 42);
  EXPECT_EQ(parse_integer("-0").value, 0);
  for (const char* bad : {"", " ", "+", "-", "4 2", "1e3", "--1", "+-1", "12a"})
    EXPECT_EQ(parse_integer(bad).error, IntegerError::not_integer) << '"' << bad << '"';
}

TEST(QueryText, FieldsKeepOrderAndDropBlanks) {
  const auto fields = parse_query("a=1&&b&c=&a=2&=x&d=%41%4&e=%e2%82%ac");
  const QueryFields expected = {
      {"a", "1"}, {"a", "2"}, {"", "x"}, {"d", "A%4"}, {"e", "\xE2\x82\xAC"}};
  EXPECT_EQ(fields, expected);
  EXPECT_EQ(query_of("/logs"), std::nullopt);
  EXPECT_EQ(query_of("/logs?"), "");
  EXPECT_EQ(query_of("/logs?a=1?b#c?d"), "a=1?b");
  EXPECT_EQ(query_of("/logs#x?limit=1"), std::nullopt);
}

}  // namespace
