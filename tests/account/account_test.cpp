#include "tolbu_sdk/types/account.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <string>

#include "tolbu_sdk/errors.hpp"

namespace json = boost::json;
using tolbu_sdk::TypeError;
using tolbu_sdk::ValueError;
using tolbu_sdk::types::Account;

namespace {
Account parse(const char* text) { return Account::from_dict(json::parse(text)); }
}  // namespace

TEST(Account, FieldsFallbacksAndDefaults) {
  EXPECT_EQ(parse("{}"), (Account{"", ""}));
  EXPECT_EQ(parse(R"({"id":"u1","accountId":"A1","accountName":"Main","totalEquity":1000.5,
      "credit":20,"maintenanceMargin":3.5,"tempMaintenanceMargin":4,"totalRealizedPnl":-5.25,
      "totalUnrealizedPnl":6,"tradingPower":7000,"crossMargin":true,"other":1})"),
            (Account{"u1", "A1", "Main", 1000.5, 20, 3.5, 4, -5.25, 6, 7000, true}));
  // The fallback is read only when the preferred key is missing altogether.
  EXPECT_EQ(parse(R"({"accountId":"A1","accountID":"A2"})").account_id, "A1");
  EXPECT_EQ(parse(R"({"accountID":"A2"})").account_id, "A2");
  EXPECT_EQ(parse(R"({"accountId":null,"accountID":"A2"})").account_id, "");
  EXPECT_EQ(parse(R"({"equity":1500.5})").total_equity, 1500.5);
  EXPECT_EQ(parse(R"({"totalEquity":0,"equity":1500.5})").total_equity, 0.0);
  Account p = parse(R"({"realizedPnl":12.5,"unrealizedPnl":-3})");
  EXPECT_EQ(p.total_realized_pnl, 12.5);
  EXPECT_EQ(p.total_unrealized_pnl, -3.0);
  EXPECT_EQ(parse(R"({"totalRealizedPnl":1,"realizedPnl":2})").total_realized_pnl, 1.0);
}

TEST(Account, TextNumberAndFlagConversions) {
  const std::pair<const char*, const char*> texts[] = {
      {R"({"id":12345})", "12345"},
      {R"({"id":0})", ""},
      {R"({"id":false})", ""},
      {R"({"id":[]})", ""},
      {R"({"id":-7})", "-7"},
      {R"({"id":1.5})", "1.5"},
      {R"({"id":18446744073709551615})", "18446744073709551615"}};
  for (auto [in, out] : texts) EXPECT_EQ(parse(in).id, out) << in;

  const std::pair<const char*, double> numbers[] = {
      {R"({"credit":"250.75"})", 250.75}, {R"({"credit":" -1e3 "})", -1000.0},
      {R"({"credit":"+2"})", 2.0},        {R"({"credit":""})", 0.0},
      {R"({"credit":[]})", 0.0},          {R"({"credit":true})", 1.0}};
  for (auto [in, out] : numbers) EXPECT_EQ(parse(in).credit, out) << in;
  for (const char* bad :
       {R"({"credit":"abc"})", R"({"credit":"12abc"})", R"({"credit":" "})", R"({"credit":"+-1"})",
        R"({"credit":"nan"})", R"({"credit":"inf"})", R"({"credit":"0x10"})", R"({"equity":[1]})",
        R"({"tradingPower":{"a":1}})"})
    EXPECT_THROW(parse(bad), ValueError) << bad;

  const std::pair<const char*, bool> flags[] = {
      {R"({"crossMargin":true})", true},    {R"({"crossMargin":0})", false},
      {R"({"crossMargin":null})", false},   {R"({"crossMargin":""})", false},
      {R"({"crossMargin":"false"})", true}, {R"({"crossMargin":[0]})", true}};
  for (auto [in, out] : flags) EXPECT_EQ(parse(in).cross_margin, out) << in;
}

TEST(Account, NonObjectIsATypeErrorNamingData) {
  for (const char* bad : {"null", "[]", "\"x\"", "1"}) {
    try {
      Account::from_dict(json::parse(bad));
      ADD_FAILURE() << bad;
    } catch (const TypeError& e) {
      EXPECT_NE(std::string(e.what()).find("data"), std::string::npos) << e.what();
    }
  }
}
