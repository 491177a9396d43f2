#include "tolbu_sdk/platform/json.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <limits>

namespace json = boost::json;
using tolbu_sdk::platform::is_empty;
using tolbu_sdk::platform::to_json_text;

TEST(JsonEmpty, FalsyValuesAreEmpty) {
  EXPECT_TRUE(is_empty(nullptr));
  for (const char* text : {"null", "false", "0", "0.0", "\"\"", "[]", "{}", "-0.0"})
    EXPECT_TRUE(is_empty(json::parse(text))) << text;
  for (const char* text : {"true", "1", "-1", "0.5", "\"0\"", "\"false\"", "[0]", "{\"a\":null}"})
    EXPECT_FALSE(is_empty(json::parse(text))) << text;
}

TEST(JsonText, SeparatorsAndInsertionOrder) {
  json::object o;
  o["zeta"] = 1;
  o["alpha"] = json::array{1, 2.5, "x", nullptr, true};
  o["mid"] = json::object{{"b", false}};
  EXPECT_EQ(to_json_text(o), R"({"zeta": 1, "alpha": [1, 2.5, "x", null, true], "mid": {"b": false}})");
  EXPECT_EQ(to_json_text(json::object{}), "{}");
  EXPECT_EQ(to_json_text(json::array{}), "[]");
}

TEST(JsonText, NumbersFollowTheNumberText) {
  EXPECT_EQ(to_json_text(json::value(150.0)), "150.0");
  EXPECT_EQ(to_json_text(json::value(1e16)), "1e+16");
  EXPECT_EQ(to_json_text(json::value(1e-5)), "1e-05");
  EXPECT_EQ(to_json_text(json::value(std::int64_t{-42})), "-42");
  EXPECT_EQ(to_json_text(json::value(std::uint64_t{18446744073709551615ull})), "18446744073709551615");
  EXPECT_EQ(to_json_text(json::value(std::numeric_limits<double>::quiet_NaN())), "NaN");
  EXPECT_EQ(to_json_text(json::value(std::numeric_limits<double>::infinity())), "Infinity");
  EXPECT_EQ(to_json_text(json::value(-std::numeric_limits<double>::infinity())), "-Infinity");
}

TEST(JsonText, EscapesControlAndNonAscii) {
  EXPECT_EQ(to_json_text(json::value("a\"b\\c\n\r\t\b\f")), R"("a\"b\\c\n\r\t\b\f")");
  EXPECT_EQ(to_json_text(json::value(std::string("\x01\x1f\x7f", 3))), R"("\u0001\u001f\u007f")");
  EXPECT_EQ(to_json_text(json::value("caf\xc3\xa9")), R"("caf\u00e9")");
  EXPECT_EQ(to_json_text(json::value("\xe1\xbb\x87")), R"("\u1ec7")");  // Vietnamese ệ
  EXPECT_EQ(to_json_text(json::value("/")), R"("/")");
}

TEST(JsonText, AstralCharactersBecomeSurrogatePairs) {
  EXPECT_EQ(to_json_text(json::value("\xf0\x9f\x98\x80")), R"("\ud83d\ude00")");  // U+1F600
  EXPECT_EQ(to_json_text(json::value("\xf4\x8f\xbf\xbf")), R"("\udbff\udfff")");  // U+10FFFF
  EXPECT_EQ(to_json_text(json::value("\xf0\x90\x80\x80")), R"("\ud800\udc00")");  // U+10000
}

TEST(JsonText, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(to_json_text(json::value("a\xff" "b")), R"("a\ufffdb")");
  EXPECT_EQ(to_json_text(json::value("\xc3")), R"("\ufffd")");          // truncated
  EXPECT_EQ(to_json_text(json::value("\xed\xa0\x80")), R"("\ufffd")");  // encoded surrogate
  EXPECT_EQ(to_json_text(json::value("\xc0\xaf")), R"("\ufffd\ufffd")");  // overlong
}

TEST(JsonText, KeysAreEscapedToo) {
  json::object o;
  o["k\xc3\xa9y"] = "v";
  EXPECT_EQ(to_json_text(o), R"({"k\u00e9y": "v"})");
}
