// Placing, cancelling and closing: paths, bodies, log lines, and the sim's fills.

#include "order_fixture.hpp"
#include "tolbu_sdk/errors.hpp"

#include <set>
#include <thread>

using namespace order_test;

TEST_F(OrderTest, PlaceOrderPutsEverythingInThePath) {
  auto response = service.place_order("X", "B", 1250, 2);
  auto target = last_target();
  auto parts = segments_after(target, "/api/v1/orders/new/");
  ASSERT_EQ(parts.size(), 7u) << target;
  EXPECT_TRUE(is_uuid4(parts[0])) << parts[0];
  EXPECT_EQ(target, "/api/v1/orders/new/" + parts[0] + "//X/B/1250.0/2/LO");
  EXPECT_EQ(journal().back().at("method"), "POST");
  EXPECT_EQ(journal().back().at("body"), "");
  EXPECT_EQ(logs.messages("INFO"), std::vector<std::string>{"Placing order: X B 2@1250.0"});
  // The sim knows no instrument X: the rejection comes back as a response.
  EXPECT_FALSE(response.success);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(response.message, "Unknown symbol 'X'");
}

TEST_F(OrderTest, PlaceOrderFillsAtTheMarketOrRests) {
  set_price("HPG", 26500);
  auto market = service.place_order("HPG", "S", 0, 200, "MTL", "ACC1", "my-ref-1");
  EXPECT_TRUE(market.success) << market.message;
  EXPECT_EQ(market.ref_order_id, "my-ref-1");
  EXPECT_EQ(segments_after(last_target(), "/api/v1/orders/new/").at(0), "my-ref-1");
  EXPECT_EQ(market.data->at("status"), "FILLED");
  EXPECT_EQ(market.data->at("avgPrice").to_number<double>(), 26500.0);

  auto resting = service.place_order("HPG", "B", 26000, 100, "LO", "ACC1", "");
  EXPECT_TRUE(is_uuid4(resting.ref_order_id)) << "an empty ref id is replaced";
  EXPECT_EQ(resting.data->at("status"), "NEW");
  set_price("HPG", 25950);  // crosses the bid
  auto orders = service.get_orders(std::string("ACC1"), std::nullopt, std::nullopt, std::nullopt,
                                   std::string("FILLED"));
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[1].order_id, resting.order_id);
  EXPECT_EQ(orders[1].avg_price, 26000.0) << "a resting limit trades at its limit";

  // A reused ref id is refused by the back end.
  auto duplicate = service.place_order("HPG", "B", 26000, 100, "LO", "ACC1", "my-ref-1");
  EXPECT_EQ(duplicate.status, 409);
}

TEST_F(OrderTest, NewReferenceIdsAreDistinctVersion4Uuids) {
  std::set<std::string> ids;
  for (int i = 0; i < 20; ++i) ids.insert(service.place_order("HPG", "B", 1000, 100).ref_order_id);
  EXPECT_EQ(ids.size(), 20u);
  for (const auto& id : ids) EXPECT_TRUE(is_uuid4(id)) << id;
}

TEST_F(OrderTest, NumberTextsInPathsAndLines) {
  service.place_order("VN30F2412", "B", 1300.1, 3, "LO", "A");
  EXPECT_EQ(last_target().substr(last_target().find("/A/")), "/A/VN30F2412/B/1300.1/3/LO");
  service.place_order("VN30F2412", "B", 0.00001, 1, "LO", "A");
  EXPECT_NE(last_target().find("/1e-05/1/"), std::string::npos) << last_target();
  EXPECT_EQ(logs.messages("INFO").back(), "Placing order: VN30F2412 B 1@1e-05");
  EXPECT_THROW(service.place_order("VN30F2412", "B", std::nan(""), 1), tolbu_sdk::ValueError);
  EXPECT_THROW(service.place_stop_order("VN30F2412", "B", INFINITY, 1, "A"), tolbu_sdk::ValueError);
}

TEST_F(OrderTest, PathSegmentsCannotReachAnotherEndpoint) {
  set_price("HPG", 26500);
  auto victim = service.place_order("HPG", "B", 26000, 100);
  ASSERT_EQ(victim.data->at("status"), "NEW");
  // A crafted id that would walk to the victim's path without encoding.
  auto response = service.cancel_order("x/../../cancel/" + victim.order_id, "");
  EXPECT_EQ(last_target(), "/api/v1/orders/cancel/x%2F..%2F..%2Fcancel%2F" + victim.order_id);
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(
      service.get_orders(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::string("NEW"))
          .size(),
      1u);
  // A symbol with a slash stays one segment.
  service.place_order("A/B", "B", 10, 1, "LO", "my acct");
  EXPECT_NE(last_target().find("/my%20acct/A%2FB/B/10.0/1/LO"), std::string::npos);
}

TEST_F(OrderTest, CancelOrderByIdOnly) {
  auto missing = service.cancel_order("123", "ANY");
  EXPECT_EQ(last_target(), "/api/v1/orders/cancel/123");
  EXPECT_EQ(journal().back().at("body"), "");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.message, "Order '123' not found");
  EXPECT_EQ(logs.messages("INFO").at(0), "Canceling order: 123");

  set_price("HPG", 26500);
  auto resting = service.place_order("HPG", "B", 26000, 100);
  auto cancelled = service.cancel_order(resting.order_id, "");
  EXPECT_TRUE(cancelled.success);
  EXPECT_EQ(cancelled.data->at("status"), "CANCELLED");
  EXPECT_EQ(service.cancel_order(resting.order_id, "").status, 409);
}

TEST_F(OrderTest, ClosePositionSendsTheOpposingMarketOrder) {
  struct Case {
    std::string side, closing;
  };
  for (const auto& c : std::vector<Case>{{"long", "S"},
                                         {"LONG", "S"},
                                         {"b", "S"},
                                         {"Buy", "S"},
                                         {"SELL", "B"},
                                         {"short", "B"},
                                         {"X", "B"},
                                         {"S", "B"}}) {
    logs.clear();
    service.close_position("VN30F2412", 3.9, c.side, "ACC9");
    auto parts = segments_after(last_target(), "/api/v1/orders/new/");
    ASSERT_EQ(parts.size(), 7u);
    EXPECT_TRUE(is_uuid4(parts[0]));
    EXPECT_EQ(parts[1], "ACC9");
    EXPECT_EQ(parts[3], c.closing) << c.side;
    EXPECT_EQ(parts[4], "0.0");
    EXPECT_EQ(parts[5], "3");
    EXPECT_EQ(parts[6], "MTL");
    EXPECT_EQ(logs.messages("INFO"),
              (std::vector<std::string>{"Closing position: VN30F2412 " + c.side +
                                            " 3.9 -> Placing " + c.closing + " order",
                                        "Placing order: VN30F2412 " + c.closing + " 3@0.0"}));
  }
  service.close_position("VN30F2412", 10, "LONG", "ACC9");
  EXPECT_EQ(logs.messages("INFO").back(), "Placing order: VN30F2412 S 10@0.0");
  EXPECT_TRUE(logs.contains("INFO", "Closing position: VN30F2412 LONG 10.0 -> Placing S order"));
  EXPECT_THROW(service.close_position("VN30F2412", std::nan(""), "LONG", "A"),
               tolbu_sdk::ValueError);
  EXPECT_THROW(service.close_position("VN30F2412", 1e30, "LONG", "A"), tolbu_sdk::ValueError);
}

TEST_F(OrderTest, StopOrderBodyHasSixKeysOrSevenWithALimit) {
  set_price("VN30F2412", 1300);
  auto plain = service.place_stop_order("VN30F2412", "B", 1350, 2, "ACC1");
  auto entry = journal().back();
  EXPECT_EQ(entry.at("target"), "/api/v1/stop-orders");
  EXPECT_EQ(keys(entry.at("body")), (std::vector<std::string>{"refOrderID", "accountID", "symbol",
                                                              "orderSide", "stopPrice", "qty"}));
  auto body = json::parse(entry.at("body").as_string());
  EXPECT_TRUE(is_uuid4(std::string(body.at("refOrderID").as_string())));
  EXPECT_EQ(
      entry.at("body").as_string(),
      R"({"refOrderID": ")" + std::string(body.at("refOrderID").as_string()) +
          R"(", "accountID": "ACC1", "symbol": "VN30F2412", "orderSide": "B", "stopPrice": 1350.0, "qty": 2})");
  EXPECT_EQ(logs.messages("INFO").back(), "Placing stop order: VN30F2412 B 2@stop=1350.0");
  EXPECT_TRUE(plain.success) << plain.message;

  service.place_stop_order("VN30F2412", "S", 1250, 1, "ACC1", 1249.5);
  EXPECT_EQ(keys(journal().back().at("body")),
            (std::vector<std::string>{"refOrderID", "accountID", "symbol", "orderSide", "stopPrice",
                                      "qty", "limitPrice"}));

  // The buy stop triggers once the market reaches it, and its market order fills.
  set_price("VN30F2412", 1351);
  auto stops = service.get_stop_orders(std::string("ACC1"));
  ASSERT_TRUE(stops.has_value());
  ASSERT_EQ(stops->size(), 2u);
  EXPECT_EQ((*stops)[0].at("status"), "TRIGGERED");
  EXPECT_EQ((*stops)[1].at("status"), "PENDING");
  auto trades = service.get_trades(std::string("ACC1"));
  ASSERT_EQ(trades.size(), 1u);
  EXPECT_EQ(trades[0].price, 1351.0);
  EXPECT_EQ(trades[0].qty, 2);
}

TEST_F(OrderTest, BracketOrderBodyAndConditionType) {
  set_price("HPG", 26500);
  auto buy = service.place_bracket_order("HPG", "B", 26000, 100, "ACC2", 27000, 25500);
  auto entry = journal().back();
  EXPECT_EQ(entry.at("target"), "/api/v1/orders/bracket-order");
  EXPECT_EQ(
      entry.at("body").as_string(),
      R"({"symbol": "HPG", "side": "B", "account": "ACC2", "quantity": 100, "orderType": "LO", "conditionPrice": 26000.0, "conditionType": "<=", "takeProfitPrice": 27000.0, "stopLossPrice": 25500.0})");
  EXPECT_EQ(logs.messages("INFO").back(),
            "Placing bracket order: HPG B 100@26000.0 TP=27000.0 SL=25500.0");
  EXPECT_TRUE(buy.success) << buy.message;

  service.place_bracket_order("HPG", "S", 27000, 100, "ACC2", 26000, 27500);
  EXPECT_EQ(json::parse(journal().back().at("body").as_string()).at("conditionType"), ">=");
  service.place_bracket_order("HPG", "BUY", 27000, 100, "ACC2", 26000, 27500);
  EXPECT_EQ(json::parse(journal().back().at("body").as_string()).at("conditionType"), ">=")
      << "only the exact code B buys";

  // Entry at 26000, then the take-profit at 27000 closes it.
  set_price("HPG", 26000);
  set_price("HPG", 27000);
  auto brackets = service.get_bracket_orders(std::string("ACC2"));
  ASSERT_TRUE(brackets.has_value());
  EXPECT_EQ(brackets->at(0).at("status"), "TAKE_PROFIT");
  auto trades = service.get_trades(std::string("ACC2"));
  ASSERT_GE(trades.size(), 2u);
  EXPECT_EQ(trades[0].side, "B");
  EXPECT_EQ(trades[0].price, 26000.0);
}

TEST_F(OrderTest, ConcurrentPlacementsFromSeveralThreads) {
  set_price("HPG", 26500);
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) accepted += service.place_order("HPG", "B", 26000, 100).success;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(accepted.load(), 40);
  EXPECT_EQ(service.get_orders().size(), 40u);
}
