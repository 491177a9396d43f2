#include "tolbu_sdk/types/records.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <string>

#include "tolbu_sdk/errors.hpp"

namespace json = boost::json;
using namespace tolbu_sdk::types;
using tolbu_sdk::TypeError;
using tolbu_sdk::ValueError;

namespace {

// The message of the error `fn` throws, which must be of type E.
template <class E, class Fn>
std::string error_of(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong error type: ") + e.what();
  }
  return "no error";
}

bool names(const std::string& message, const std::string& field) {
  return message.find("\"" + field + "\"") != std::string::npos;
}

}  // namespace

TEST(Candle, ParsesNumbersOfAnyKindAndRoundTrips) {
  auto c = Candle::from_dict(json::parse(
      R"({"time": 1700000000500, "open": 10, "high": 12.5, "low": 9, "close": 11,
          "volume": 18446744073709551615, "extra": "ignored"})"));
  EXPECT_EQ(c.time, 1700000000500);
  EXPECT_EQ(c.open, 10.0);
  EXPECT_EQ(c.high, 12.5);
  EXPECT_EQ(c.volume, 18446744073709551615.0);
  EXPECT_EQ(Candle::from_dict(c.to_json()), c);
  // Whole-valued doubles are accepted as times; volume is optional.
  auto d = Candle::from_dict(json::parse(R"({"time":1.7e12,"open":1,"high":1,"low":1,"close":1})"));
  EXPECT_EQ(d.time, 1700000000000);
  EXPECT_EQ(d.volume, 0.0);
}

TEST(Candle, MalformedInputNamesTheField) {
  const char* base = R"({"time":1,"open":1,"high":1,"low":1,"close":1})";
  auto with = [&](const char* key, json::value v) {
    json::object o = json::parse(base).as_object();
    if (v.is_null() && std::string(key).starts_with("-")) {
      o.erase(key + 1);
    } else {
      o[key] = v;
    }
    return json::value(o);
  };
  std::string m = error_of<ValueError>([&] { Candle::from_dict(with("-close", nullptr)); });
  EXPECT_TRUE(names(m, "close")) << m;
  m = error_of<ValueError>([&] { Candle::from_dict(with("open", nullptr)); });
  EXPECT_TRUE(names(m, "open")) << m;
  m = error_of<TypeError>([&] { Candle::from_dict(with("high", "12.5")); });
  EXPECT_TRUE(names(m, "high")) << m;
  m = error_of<TypeError>([&] { Candle::from_dict(with("low", true)); });
  EXPECT_TRUE(names(m, "low")) << m;
  m = error_of<ValueError>([&] { Candle::from_dict(with("time", 1.5)); });
  EXPECT_TRUE(names(m, "time")) << m;
  m = error_of<ValueError>([&] { Candle::from_dict(with("time", 1e300)); });
  EXPECT_TRUE(names(m, "time")) << m;
  m = error_of<ValueError>([&] { Candle::from_dict(with("time", 9223372036854775808.0)); });
  EXPECT_TRUE(names(m, "time")) << m;
  m = error_of<ValueError>(
      [&] { Candle::from_dict(with("time", json::value(std::uint64_t{1} << 63))); });
  EXPECT_TRUE(names(m, "time")) << m;
  for (const char* text : {"null", "[]", "\"x\"", "3"})
    EXPECT_NE(error_of<TypeError>([&] { Candle::from_dict(json::parse(text)); }), "no error");
}

TEST(Depth, LevelsKeepTheirOrderAndErrorsNameTheLevel) {
  auto d = Depth::from_dict(json::parse(
      R"({"symbol":"VN30F1M","time":5,
          "bidPriceDepth":[{"price":10.5,"qty":3},{"price":10.4,"qty":7}],
          "askPriceDepth":null})"));
  EXPECT_EQ(d.symbol, "VN30F1M");
  ASSERT_EQ(d.bid_price_depth.size(), 2u);
  EXPECT_EQ(d.bid_price_depth[1], (DepthLevel{10.4, 7}));
  EXPECT_TRUE(d.ask_price_depth.empty());
  EXPECT_EQ(Depth::from_dict(d.to_json()), d);

  std::string m = error_of<ValueError>([] {
    Depth::from_dict(
        json::parse(R"({"symbol":"X","askPriceDepth":[{"price":1,"qty":1},{"price":2}]})"));
  });
  EXPECT_NE(m.find("askPriceDepth[1]"), std::string::npos) << m;
  EXPECT_TRUE(names(m, "qty")) << m;
  m = error_of<TypeError>(
      [] { Depth::from_dict(json::parse(R"({"symbol":"X","bidPriceDepth":{}})")); });
  EXPECT_TRUE(names(m, "bidPriceDepth")) << m;
  m = error_of<TypeError>(
      [] { Depth::from_dict(json::parse(R"({"symbol":"X","bidPriceDepth":[5]})")); });
  EXPECT_NE(m.find("bidPriceDepth[0]"), std::string::npos) << m;
}

TEST(ProductRecords, InfoStatAndMaster) {
  auto info =
      ProductInfo::from_dict(json::parse(R"({"symbol":"FPT","tickSize":0.05,"lotSize":100.0})"));
  EXPECT_EQ(info.tick_size, 0.05);
  EXPECT_EQ(info.lot_size, 100);
  EXPECT_EQ(info.currency, "VND");
  EXPECT_EQ(ProductInfo::from_dict(info.to_json()), info);
  std::string m = error_of<ValueError>([] {
    ProductInfo::from_dict(json::parse(R"({"symbol":"FPT","tickSize":0.05,"lotSize":4294967396})"));
  });
  EXPECT_TRUE(names(m, "lotSize")) << m;
  m = error_of<ValueError>([] {
    ProductInfo::from_dict(json::parse(R"({"symbol":"FPT","tickSize":0.05,"lotSize":2.5})"));
  });
  EXPECT_TRUE(names(m, "lotSize")) << m;

  ProductStat stat{"FPT", 1, 10, 9.9, 10.1, 500, 9.5, 10.2, 9.4, 10, 0.5, 5.26};
  EXPECT_EQ(ProductStat::from_dict(stat.to_json()), stat);
  json::object partial = stat.to_json();
  partial.erase("changePct");
  m = error_of<ValueError>([&] { ProductStat::from_dict(partial); });
  EXPECT_TRUE(names(m, "changePct")) << m;

  auto master = ProductMaster::from_dict(json::parse(R"({"symbol":"FPT","info":null})"));
  EXPECT_FALSE(master.info.has_value());
  EXPECT_FALSE(ProductMaster::from_dict(json::parse(R"({"symbol":"FPT","info":{}})")).info);
  master.info = info;
  EXPECT_EQ(ProductMaster::from_dict(master.to_json()), master);
  m = error_of<ValueError>(
      [] { ProductMaster::from_dict(json::parse(R"({"symbol":"FPT","info":{"symbol":"FPT"}})")); });
  EXPECT_NE(m.find("ProductMaster.info"), std::string::npos) << m;
  EXPECT_TRUE(names(m, "tickSize")) << m;
  m = error_of<TypeError>(
      [] { ProductMaster::from_dict(json::parse(R"({"symbol":"FPT","info":[1]})")); });
  EXPECT_TRUE(names(m, "info")) << m;
}

TEST(OrderRecords, OrderDataAndTradeAcceptNumericIds) {
  auto o = OrderData::from_dict(json::parse(
      R"({"orderID":12345,"refOrderID":"r-1","accountID":"ACC","symbol":"FPT","side":"B",
          "orderType":"LO","price":95.5,"qty":200,"filledQty":100,"avgPrice":95.4,
          "status":"PARTIALLY_FILLED","createdTime":1700000000000})"));
  EXPECT_EQ(o.order_id, "12345");
  EXPECT_EQ(o.qty, 200);
  EXPECT_EQ(o.filled_qty, 100);
  EXPECT_EQ(o.updated_time, 0);
  EXPECT_EQ(OrderData::from_dict(o.to_json()), o);
  std::string m = error_of<ValueError>([] {
    OrderData::from_dict(
        json::parse(R"({"orderID":"1","symbol":"F","side":"B","price":1,"qty":1})"));
  });
  EXPECT_TRUE(names(m, "status")) << m;
  m = error_of<TypeError>([] {
    OrderData::from_dict(
        json::parse(R"({"orderID":1.5,"symbol":"F","side":"B","price":1,"qty":1,"status":"NEW"})"));
  });
  EXPECT_TRUE(names(m, "orderID")) << m;

  Trade t{"T1", "O1", "ACC", "FPT", "S", 95.5, 100, 0.4, 1700000000500};
  EXPECT_EQ(Trade::from_dict(t.to_json()), t);
  json::object no_time = t.to_json();
  no_time.erase("tradeTime");
  m = error_of<ValueError>([&] { Trade::from_dict(no_time); });
  EXPECT_TRUE(names(m, "tradeTime")) << m;
}

TEST(OrderResponse, SuccessErrorObjectAndAbsentAnswer) {
  auto ok = OrderResponse::from_dict(json::parse(
      R"({"status":200,"message":"Order accepted","data":{"orderID":77,"refOrderID":"r-1"}})"));
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.order_id, "77");
  EXPECT_EQ(ok.ref_order_id, "r-1");
  EXPECT_TRUE(ok.data.is_object());
  EXPECT_EQ(OrderResponse::from_dict(ok.to_json()), ok);

  // The order service's error object.
  json::object err{{"status", 400}, {"message", "Bad qty"}, {"data", nullptr}};
  auto bad = OrderResponse::from_dict(std::optional<json::object>(err));
  EXPECT_FALSE(bad.success);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.message, "Bad qty");
  EXPECT_TRUE(bad.data.is_null());
  EXPECT_EQ(bad.order_id, "");
  // A message that is not text is kept as its JSON text.
  err["message"] = json::object{{"code", 7}};
  EXPECT_EQ(OrderResponse::from_dict(err).message, R"({"code": 7})");

  // An absent answer is a record, never a success.
  for (const auto& absent : {OrderResponse::from_dict(json::value(nullptr)),
                             OrderResponse::from_dict(std::optional<json::object>())}) {
    EXPECT_FALSE(absent.success);
    EXPECT_EQ(absent.status, 0);
    EXPECT_EQ(absent.message, "Empty response");
  }
  // A flat answer without status, ids at the top.
  auto flat = OrderResponse::from_dict(json::parse(R"({"orderID":"O9"})"));
  EXPECT_TRUE(flat.success);
  EXPECT_EQ(flat.order_id, "O9");
  EXPECT_FALSE(OrderResponse::from_dict(json::parse(R"({"status":503})")).success);
  EXPECT_NE(error_of<TypeError>([] { OrderResponse::from_dict(json::parse("[]")); }), "no error");
  std::string m =
      error_of<TypeError>([] { OrderResponse::from_dict(json::parse(R"({"status":"OK"})")); });
  EXPECT_TRUE(names(m, "status")) << m;
}
