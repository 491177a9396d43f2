#include "tolbu_sdk/types/records.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <functional>
#include <string>

#include "tolbu_sdk/errors.hpp"

namespace json = boost::json;
using namespace tolbu_sdk::types;
using tolbu_sdk::TypeError;
using tolbu_sdk::ValueError;

// Every record reads back what it writes.
TEST(Records, RoundTripThroughTheirJsonLayouts) {
  Candle c{1700000000500, 10, 12.5, 9, 11, 18446744073709551615.0};
  EXPECT_EQ(Candle::from_dict(c.to_json()), c);
  Depth d{"VN30F1M", 5, {{10.5, 3}, {10.4, 7}}, {}};
  EXPECT_EQ(Depth::from_dict(d.to_json()), d);
  ProductInfo info{"FPT", "FPT Corp", "HOSE", "STOCK", 0.05, 100, "VND", 105, 95, 100};
  EXPECT_EQ(ProductInfo::from_dict(info.to_json()), info);
  ProductStat stat{"FPT", 1, 10, 9.9, 10.1, 500, 9.5, 10.2, 9.4, 10, 0.5, 5.26};
  EXPECT_EQ(ProductStat::from_dict(stat.to_json()), stat);
  ProductMaster master{"FPT", "FPT Corp", "HOSE", "STOCK", info};
  EXPECT_EQ(ProductMaster::from_dict(master.to_json()), master);
  master.info.reset();
  EXPECT_EQ(ProductMaster::from_dict(master.to_json()), master);
  OrderData o{"O1", "r", "A", "FPT", "B", "LO", 95.5, 200, 100, 95.4, "NEW", 1, 2, ""};
  EXPECT_EQ(OrderData::from_dict(o.to_json()), o);
  Trade t{"T1", "O1", "ACC", "FPT", "S", 95.5, 100, 0.4, 1700000000500};
  EXPECT_EQ(Trade::from_dict(t.to_json()), t);
}

TEST(Records, OptionalKeysDefaultsAndLenientForms) {
  auto c = Candle::from_dict(json::parse(R"({"time":1.7e12,"open":1,"high":1,"low":1,"close":1})"));
  EXPECT_EQ(c.time, 1700000000000);  // a whole-valued double
  EXPECT_EQ(c.volume, 0.0);
  auto d = Depth::from_dict(json::parse(R"({"symbol":"X","askPriceDepth":null})"));
  EXPECT_TRUE(d.bid_price_depth.empty() && d.ask_price_depth.empty());
  auto i = ProductInfo::from_dict(json::parse(R"({"symbol":"F","tickSize":0.05,"lotSize":100.0})"));
  EXPECT_EQ(i.lot_size, 100);
  EXPECT_EQ(i.currency, "VND");
  EXPECT_FALSE(ProductMaster::from_dict(json::parse(R"({"symbol":"F","info":{}})")).info);
  auto o = OrderData::from_dict(
      json::parse(R"({"orderID":12345,"symbol":"F","side":"B","price":1,"qty":2,"status":"NEW"})"));
  EXPECT_EQ(o.order_id, "12345");  // numeric ids keep their digits
  EXPECT_EQ(o.filled_qty, 0);
}

// Malformed input is an error of the right kind whose message names the field.
TEST(Records, MalformedInputNamesTheField) {
  using Parse = std::function<void(const json::value&)>;
  const Parse candle = [](const json::value& v) { Candle::from_dict(v); };
  const Parse depth = [](const json::value& v) { Depth::from_dict(v); };
  const Parse info = [](const json::value& v) { ProductInfo::from_dict(v); };
  const Parse master = [](const json::value& v) { ProductMaster::from_dict(v); };
  const Parse order = [](const json::value& v) { OrderData::from_dict(v); };
  const Parse trade = [](const json::value& v) { Trade::from_dict(v); };
  const Parse response = [](const json::value& v) { OrderResponse::from_dict(v); };
  struct Case {
    const Parse& parse;
    const char* json;
    bool type_error;
    const char* names;
  };
  const Case cases[] = {
      {candle, R"({"time":1,"open":1,"high":1,"low":1})", false, R"("close")"},
      {candle, R"({"time":1,"open":null,"high":1,"low":1,"close":1})", false, R"("open")"},
      {candle, R"({"time":1,"open":1,"high":"12.5","low":1,"close":1})", true, R"("high")"},
      {candle, R"({"time":1,"open":1,"high":1,"low":true,"close":1})", true, R"("low")"},
      {candle, R"({"time":1.5,"open":1,"high":1,"low":1,"close":1})", false, R"("time")"},
      {candle, R"({"time":1e300,"open":1,"high":1,"low":1,"close":1})", false, R"("time")"},
      {candle, R"({"time":9223372036854775808,"open":1,"high":1,"low":1,"close":1})", false,
       R"("time")"},
      {candle, "[]", true, "data"},
      {candle, "null", true, "data"},
      {depth, R"({"symbol":"X","askPriceDepth":[{"price":1,"qty":1},{"price":2}]})", false,
       R"(askPriceDepth[1]: field "qty")"},
      {depth, R"({"symbol":"X","bidPriceDepth":{}})", true, R"("bidPriceDepth")"},
      {depth, R"({"symbol":"X","bidPriceDepth":[5]})", true, "bidPriceDepth[0]"},
      {info, R"({"symbol":"F","tickSize":0.05,"lotSize":4294967396})", false, R"("lotSize")"},
      {info, R"({"symbol":"F","tickSize":0.05,"lotSize":2.5})", false, R"("lotSize")"},
      {master, R"({"symbol":"F","info":{"symbol":"F"}})", false,
       R"(ProductMaster.info: field "tickSize")"},
      {master, R"({"symbol":"F","info":[1]})", true, R"("info")"},
      {order, R"({"orderID":"1","symbol":"F","side":"B","price":1,"qty":1})", false, R"("status")"},
      {order, R"({"orderID":1.5,"symbol":"F","side":"B","price":1,"qty":1,"status":"N"})", true,
       R"("orderID")"},
      {trade, R"({"tradeID":"T","orderID":"O","symbol":"F","side":"B","price":1,"qty":1})", false,
       R"("tradeTime")"},
      {response, R"({"status":"OK"})", true, R"("status")"},
      {response, "[]", true, "data"},
  };
  for (const Case& c : cases) {
    std::string message = "no error";
    bool type_error = false;
    try {
      c.parse(json::parse(c.json));
    } catch (const TypeError& e) {
      message = e.what();
      type_error = true;
    } catch (const ValueError& e) {
      message = e.what();
    }
    EXPECT_EQ(type_error, c.type_error) << c.json << " -> " << message;
    EXPECT_NE(message.find(c.names), std::string::npos) << c.json << " -> " << message;
  }
}

TEST(OrderResponse, SuccessErrorObjectAndAbsentAnswer) {
  auto ok = OrderResponse::from_dict(json::parse(
      R"({"status":200,"message":"Order accepted","data":{"orderID":77,"refOrderID":"r-1"}})"));
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(ok.order_id, "77");
  EXPECT_EQ(ok.ref_order_id, "r-1");
  EXPECT_EQ(OrderResponse::from_dict(ok.to_json()), ok);

  json::object err{{"status", 400}, {"message", "Bad qty"}, {"data", nullptr}};
  auto bad = OrderResponse::from_dict(std::optional<json::object>(err));
  EXPECT_FALSE(bad.success);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.message, "Bad qty");
  EXPECT_TRUE(bad.data->is_null());
  err["message"] = json::object{{"code", 7}};  // a message that is not text: its JSON text
  EXPECT_EQ(OrderResponse::from_dict(err).message, R"({"code": 7})");
  EXPECT_FALSE(OrderResponse::from_dict(json::parse(R"({"status":503})")).success);

  // An absent answer is a record, never a success.
  for (const auto& absent : {OrderResponse::from_dict(json::value(nullptr)),
                             OrderResponse::from_dict(std::optional<json::object>())}) {
    EXPECT_FALSE(absent.success);
    EXPECT_EQ(absent.status, 0);
    EXPECT_EQ(absent.message, "Empty response");
  }
  auto flat = OrderResponse::from_dict(json::parse(R"({"orderID":"O9"})"));
  EXPECT_TRUE(flat.success);
  EXPECT_EQ(flat.order_id, "O9");
}
