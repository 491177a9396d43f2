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

TEST(Account, EmptyObjectGivesDefaults) {
  EXPECT_EQ(parse("{}"), (Account{"", ""}));
  Account a = parse("{}");
  EXPECT_EQ(a.total_equity, 0.0);
  EXPECT_FALSE(a.cross_margin);
}

TEST(Account, FullObjectFillsEveryFieldInOrder) {
  Account a = parse(R"({"id":"u1","accountId":"A1","accountName":"Main","totalEquity":1000.5,
      "credit":20,"maintenanceMargin":3.5,"tempMaintenanceMargin":4,"totalRealizedPnl":-5.25,
      "totalUnrealizedPnl":6,"tradingPower":7000,"crossMargin":true,"other":1})");
  EXPECT_EQ(a, (Account{"u1", "A1", "Main", 1000.5, 20, 3.5, 4, -5.25, 6, 7000, true}));
}

TEST(Account, FallbackKeysOnlyWhenThePreferredKeyIsMissing) {
  EXPECT_EQ(parse(R"({"accountId":"A1","accountID":"A2"})").account_id, "A1");
  EXPECT_EQ(parse(R"({"accountID":"A2"})").account_id, "A2");
  EXPECT_EQ(parse(R"({"accountId":null,"accountID":"A2"})").account_id, "");
  EXPECT_EQ(parse(R"({"equity":1500.5})").total_equity, 1500.5);
  EXPECT_EQ(parse(R"({"totalEquity":0,"equity":1500.5})").total_equity, 0.0);
  EXPECT_EQ(parse(R"({"totalEquity":null,"equity":1500.5})").total_equity, 0.0);
  Account p = parse(R"({"realizedPnl":12.5,"unrealizedPnl":-3})");
  EXPECT_EQ(p.total_realized_pnl, 12.5);
  EXPECT_EQ(p.total_unrealized_pnl, -3.0);
  EXPECT_EQ(parse(R"({"totalRealizedPnl":1,"realizedPnl":2})").total_realized_pnl, 1.0);
}

TEST(Account, TextConversion) {
  EXPECT_EQ(parse(R"({"id":12345})").id, "12345");
  EXPECT_EQ(parse(R"({"id":0})").id, "");
  EXPECT_EQ(parse(R"({"id":false})").id, "");
  EXPECT_EQ(parse(R"({"id":[]})").id, "");
  EXPECT_EQ(parse(R"({"id":-7})").id, "-7");
  EXPECT_EQ(parse(R"({"id":18446744073709551615})").id, "18446744073709551615");
  EXPECT_EQ(parse(R"({"accountName":" x "})").account_name, " x ");
  EXPECT_EQ(parse(R"({"id":1.5})").id, "1.5");
}

TEST(Account, NumberConversion) {
  EXPECT_EQ(parse(R"({"credit":"250.75"})").credit, 250.75);
  EXPECT_EQ(parse(R"({"credit":" -1e3 "})").credit, -1000.0);
  EXPECT_EQ(parse(R"({"credit":"+2"})").credit, 2.0);
  EXPECT_EQ(parse(R"({"credit":""})").credit, 0.0);
  EXPECT_EQ(parse(R"({"credit":[]})").credit, 0.0);
  EXPECT_EQ(parse(R"({"credit":true})").credit, 1.0);
  for (const char* bad :
       {R"({"credit":"abc"})", R"({"credit":"12abc"})", R"({"credit":" "})", R"({"credit":"+-1"})",
        R"({"credit":"nan"})", R"({"credit":"inf"})", R"({"credit":"0x10"})", R"({"equity":[1]})",
        R"({"tradingPower":{"a":1}})"})
    EXPECT_THROW(parse(bad), ValueError) << bad;
}

TEST(Account, FlagIsTheValuesTruth) {
  EXPECT_TRUE(parse(R"({"crossMargin":true})").cross_margin);
  EXPECT_FALSE(parse(R"({"crossMargin":0})").cross_margin);
  EXPECT_FALSE(parse(R"({"crossMargin":null})").cross_margin);
  EXPECT_FALSE(parse(R"({"crossMargin":""})").cross_margin);
  EXPECT_TRUE(parse(R"({"crossMargin":"false"})").cross_margin);
  EXPECT_TRUE(parse(R"({"crossMargin":[0]})").cross_margin);
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
