// Listing orders, execution reports, trades, stop and bracket orders.

#include "order_fixture.hpp"
#include "tolbu_sdk/errors.hpp"

using namespace order_test;

TEST_F(OrderTest, QueryParametersOnlyWhenPresentInTheirOrder) {
  service.get_orders();
  EXPECT_EQ(last_target(), "/api/v1/orders");
  service.get_orders(std::string("A1"), 0, 500, std::nullopt, std::string("FILLED"));
  EXPECT_EQ(last_target(), "/api/v1/orders?accountId=A1&endTime=500&status=FILLED");
  service.get_orders({.account_id = "", .start_time = 100, .symbol = "HPG"});
  EXPECT_EQ(last_target(), "/api/v1/orders?startTime=100&symbol=HPG");
  service.get_trades(std::string(""), 1, 2);
  EXPECT_EQ(last_target(), "/api/v1/trades?startTime=1&endTime=2");
  service.get_execution_reports();
  EXPECT_EQ(last_target(), "/api/v1/execution-reports");
  service.get_stop_orders(std::string("A B&C"));
  EXPECT_EQ(last_target(), "/api/v1/stop-orders?accountId=A+B%26C");
  service.get_bracket_orders();
  EXPECT_EQ(last_target(), "/api/v1/bracket-orders");
}

TEST_F(OrderTest, RecordsInTheOrderReceived) {
  set_price("HPG", 26500);
  auto first = service.place_order("HPG", "B", 26000, 100, "LO", "ACC1");
  auto second = service.place_order("HPG", "S", 0, 100, "MTL", "ACC1");
  service.place_order("HPG", "B", 26000, 100, "LO", "OTHER");
  auto orders = service.get_orders(std::string("ACC1"));
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[0].order_id, first.order_id);
  EXPECT_EQ(orders[0].status, "NEW");
  EXPECT_EQ(orders[1].order_id, second.order_id);
  EXPECT_EQ(orders[1].status, "FILLED");
  EXPECT_EQ(orders[1].created_time, kStart);

  // Every state change is an execution report: NEW, NEW, FILLED, NEW.
  auto reports = service.get_execution_reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[1].order_id, second.order_id);
  EXPECT_EQ(reports[1].status, "NEW");
  EXPECT_EQ(reports[2].status, "FILLED");

  auto trades = service.get_trades(std::string("ACC1"), kStart, kStart);
  ASSERT_EQ(trades.size(), 1u);
  EXPECT_EQ(trades[0].order_id, second.order_id);
  EXPECT_EQ(trades[0].price, 26500.0);
  EXPECT_TRUE(service.get_trades(std::string("ACC1"), kStart + 1).empty());
}

TEST_F(OrderTest, MissingOrEmptyDataGivesAnEmptySequence) {
  for (const char* body :
       {R"({})", R"({"data": []})", R"({"data": null})", R"({"data": {}})", R"({"data": 0})"}) {
    answer(200, body);
    EXPECT_TRUE(service.get_orders().empty()) << body;
  }
  answer(200, R"({"data": {"orderID": "1"}})");
  EXPECT_THROW(service.get_orders(), tolbu_sdk::TypeError);
  answer(200, R"({"data": [{"orderID": "1"}]})");
  EXPECT_ANY_THROW(service.get_trades()) << "a malformed element aborts the whole query";
}

TEST_F(OrderTest, UnsuccessfulStatusGivesEmptyOrAbsent) {
  for (int i = 0; i < 5; ++i) answer(500, "boom");
  EXPECT_TRUE(service.get_orders().empty());
  EXPECT_TRUE(service.get_trades().empty());
  EXPECT_TRUE(service.get_execution_reports().empty());
  EXPECT_EQ(service.get_stop_orders(), std::nullopt);
  EXPECT_EQ(service.get_bracket_orders(), std::nullopt);
  EXPECT_EQ(logs.messages("ERROR").size(), 5u);
}

TEST_F(OrderTest, RawQueriesReturnTheObjectsAsReceived) {
  answer(200, R"({"data": [{"id": 1, "extra": {"nested": true}}, {"id": 2}]})");
  auto stops = service.get_stop_orders();
  ASSERT_TRUE(stops.has_value());
  ASSERT_EQ(stops->size(), 2u);
  EXPECT_EQ((*stops)[0].at("extra").at("nested"), true);
  answer(200, R"({})");
  EXPECT_EQ(service.get_bracket_orders(), std::vector<json::object>{});
  answer(200, R"({"data": null})");
  EXPECT_EQ(service.get_bracket_orders(), std::nullopt);
  answer(200, R"({"data": {"id": 1}})");
  EXPECT_THROW(service.get_stop_orders(), tolbu_sdk::TypeError);
  answer(200, R"({"data": "text"})");
  EXPECT_THROW(service.get_bracket_orders(), tolbu_sdk::TypeError);
}
