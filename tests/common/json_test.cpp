#include "tolbu_sdk/platform/json.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <cstdlib>
#include <limits>
#include <random>

namespace json = boost::json;
using tolbu_sdk::platform::is_empty;
using tolbu_sdk::platform::parse_json;
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
  EXPECT_EQ(to_json_text(o),
            R"({"zeta": 1, "alpha": [1, 2.5, "x", null, true], "mid": {"b": false}})");
  EXPECT_EQ(to_json_text(json::object{}), "{}");
  EXPECT_EQ(to_json_text(json::array{}), "[]");
}

TEST(JsonText, NumbersFollowTheNumberText) {
  EXPECT_EQ(to_json_text(json::value(150.0)), "150.0");
  EXPECT_EQ(to_json_text(json::value(1e16)), "1e+16");
  EXPECT_EQ(to_json_text(json::value(1e-5)), "1e-05");
  EXPECT_EQ(to_json_text(json::value(std::int64_t{-42})), "-42");
  EXPECT_EQ(to_json_text(json::value(std::uint64_t{18446744073709551615ull})),
            "18446744073709551615");
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
  EXPECT_EQ(to_json_text(json::value("a\xff"
                                     "b")),
            R"("a\ufffdb")");
  EXPECT_EQ(to_json_text(json::value("\xc3")), R"("\ufffd")");            // truncated
  EXPECT_EQ(to_json_text(json::value("\xed\xa0\x80")), R"("\ufffd")");    // encoded surrogate
  EXPECT_EQ(to_json_text(json::value("\xc0\xaf")), R"("\ufffd\ufffd")");  // overlong
}

TEST(JsonText, KeysAreEscapedToo) {
  json::object o;
  o["k\xc3\xa9y"] = "v";
  EXPECT_EQ(to_json_text(o), R"({"k\u00e9y": "v"})");
}

TEST(JsonParse, EveryDecimalReadsAsTheNearestDouble) {
  // 300,000 random decimals of up to 17 significant digits, some with exponents, checked
  // bit for bit against strtod (the process runs in the C locale).
  std::mt19937_64 rng(20241201);
  std::uniform_int_distribution<int> digit(0, 9), length(1, 17), exponent(-30, 30), coin(0, 3);
  std::vector<std::string> texts;
  std::string document = "[";
  for (int i = 0; i < 300000; ++i) {
    std::string t = coin(rng) == 0 ? "-" : "";
    int n = length(rng);
    int point = std::uniform_int_distribution<int>(1, n)(rng);
    t += static_cast<char>('1' + digit(rng) % 9);
    for (int k = 1; k < n; ++k) {
      if (k == point) t += '.';
      t += static_cast<char>('0' + digit(rng));
    }
    if (point == n) t += ".5";  // always a fraction: the double path
    if (coin(rng) == 1) t += "e" + std::to_string(exponent(rng));
    if (i) document += ",";
    document += t;
    texts.push_back(std::move(t));
  }
  document += "]";
  boost::system::error_code ec;
  json::monotonic_resource arena;
  json::value parsed = parse_json(document, ec, &arena);
  ASSERT_FALSE(ec) << ec.message();
  const auto& items = parsed.as_array();
  ASSERT_EQ(items.size(), texts.size());
  int wrong = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    double expected = std::strtod(texts[i].c_str(), nullptr);
    if (!items[i].is_double() || items[i].get_double() != expected) {
      if (++wrong <= 5) ADD_FAILURE() << texts[i] << " read as " << items[i];
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(JsonParse, KeepsTheOtherKindsAndRefusesWhatIsNotOneJsonText) {
  boost::system::error_code ec;
  auto v = parse_json(R"({"a": [1, -2, 18446744073709551615, 1.5, "x\u00e9", true, null],
                          "b": {}, "100046.96366823411": 100046.96366823411})",
                      ec);
  ASSERT_FALSE(ec);
  const auto& a = v.at("a").as_array();
  EXPECT_EQ(a[0].as_int64(), 1);
  EXPECT_EQ(a[1].as_int64(), -2);
  EXPECT_EQ(a[2].as_uint64(), 18446744073709551615ull);
  EXPECT_EQ(a[4].as_string(), "x\xc3\xa9");
  EXPECT_TRUE(a[6].is_null());
  EXPECT_EQ(v.at("100046.96366823411").as_double(), std::strtod("100046.96366823411", nullptr));
  EXPECT_EQ(v.as_object().begin()->key(), "a") << "insertion order kept";
  EXPECT_TRUE(parse_json("1e400", ec).as_double() > 1e308) << "out of range stays infinite";

  for (const char* bad : {"", "[1,]", "{\"a\" 1}", "[1] x", "01", "NaN", "[1e]"}) {
    boost::system::error_code error;
    EXPECT_TRUE(parse_json(bad, error).is_null()) << bad;
    EXPECT_TRUE(error) << bad;
  }
}

TEST(JsonValue, HoldsNullUntilSetAndCopiesDeeply) {
  using tolbu_sdk::platform::JsonValue;
  const JsonValue empty;
  EXPECT_TRUE(empty->is_null());
  EXPECT_TRUE(empty == JsonValue(json::value(nullptr)));

  JsonValue a = json::value{{"status", "NEW"}, {"qty", 2}};
  JsonValue b = a;
  b->as_object()["status"] = "FILLED";
  EXPECT_EQ(a->at("status"), "NEW");
  EXPECT_FALSE(a == b);
  b = a;
  EXPECT_TRUE(a == b);
  EXPECT_TRUE(b == json::value({{"status", "NEW"}, {"qty", 2}}));

  JsonValue moved = std::move(b);
  EXPECT_TRUE(moved == a);
  b = moved->at("qty");  // assigning a part of what it holds to another holder
  EXPECT_EQ(*b, 2);
  moved = moved->at("status");  // and to itself
  EXPECT_EQ(*moved, "NEW");
  const json::value& read = a;
  EXPECT_EQ(read.at("qty"), 2);
}

TEST(JsonValue, OutlivesTheArenaItWasReadFrom) {
  using tolbu_sdk::platform::JsonValue;
  JsonValue held;
  {
    json::monotonic_resource arena;
    boost::system::error_code ec;
    const json::value parsed = tolbu_sdk::platform::parse_json(
        R"({"orderID": "O-1", "fills": [1.5, 2.5]})", ec, json::storage_ptr(&arena));
    ASSERT_FALSE(ec);
    held = parsed;
    JsonValue copy(parsed);
    held = std::move(copy);
  }
  EXPECT_EQ(held->at("orderID"), "O-1");
  EXPECT_EQ(held->at("fills").as_array().back(), 2.5);
  EXPECT_EQ(held->storage().get(), json::storage_ptr().get());  // the default resource
}
