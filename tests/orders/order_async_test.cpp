// The awaitable twins: same wire and results as the blocking forms, on one loop beside other
// work, several in flight at once.

#include "order_fixture.hpp"
#include "tolbu_sdk/errors.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

using namespace order_test;
namespace asio = boost::asio;
using namespace std::chrono_literals;

TEST_F(OrderTest, AwaitedOrdersRunTogetherWhileTheLoopKeepsServingItsTimers) {
  set_price("HPG", 26500);
  fault({{"delay_ms", 400}, {"count", 5}, {"path_prefix", "/api/v1/orders/new/"}});
  asio::io_context loop;
  int ticks = 0;
  bool placing = true;
  std::vector<int> ticks_at_answer;
  std::size_t journaled_at_first_answer = 0;

  // A stand-in for market data: a timer callback every 10 ms for as long as orders are out.
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(loop);
        while (placing) {
          timer.expires_after(10ms);
          co_await timer.async_wait(asio::use_awaitable);
          ++ticks;
        }
      },
      asio::detached);

  std::vector<std::future<tolbu_sdk::types::OrderResponse>> answers;
  int outstanding = 5;
  for (int i = 0; i < 5; ++i) {
    answers.push_back(asio::co_spawn(
        loop,
        [&, i]() -> asio::awaitable<tolbu_sdk::types::OrderResponse> {
          auto response = co_await service.async_place_order("HPG", "B", 26000 - 50 * i, 100, "LO",
                                                             "ACC1", "async-" + std::to_string(i));
          if (ticks_at_answer.empty()) journaled_at_first_answer = journal().size();
          ticks_at_answer.push_back(ticks);
          if (--outstanding == 0) placing = false;
          co_return response;
        },
        asio::use_future));
  }
  loop.run();

  for (int i = 0; i < 5; ++i) {
    auto response = answers[i].get();
    EXPECT_TRUE(response.success) << response.message;
    EXPECT_EQ(response.ref_order_id, "async-" + std::to_string(i));
  }
  EXPECT_EQ(journaled_at_first_answer, 5u) << "all five were out before the first answer";
  EXPECT_GT(ticks_at_answer.front(), 5) << "the loop kept running its timer meanwhile";
  auto entries = journal();
  ASSERT_EQ(entries.size(), 5u);
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.at("method"), "POST");
    EXPECT_EQ(own_headers(entry), (std::vector<std::string>{"Content-Type", "Authorization"}));
  }
  EXPECT_EQ(logs.messages("INFO").size(), 5u);
}

TEST_F(OrderTest, AwaitedTwinsSendTheSameRequestsAndFailTheSameWay) {
  asio::io_context loop;
  auto run = [&](auto operation) {
    auto future = asio::co_spawn(loop, std::move(operation), asio::use_future);
    loop.restart();
    loop.run();
    return future.get();
  };
  set_price("HPG", 26500);

  service.place_stop_order("HPG", "S", 25000, 100, "ACC1", 24900);
  run(service.async_place_stop_order("HPG", "S", 25000, 100, "ACC1", 24900));
  service.place_bracket_order("HPG", "B", 26000, 100, "ACC1", 27000, 25000);
  run(service.async_place_bracket_order("HPG", "B", 26000, 100, "ACC1", 27000, 25000));
  service.get_orders(std::string("ACC1"), std::nullopt, std::nullopt, std::nullopt,
                     std::string("NEW"));
  run(service.async_get_orders({.account_id = "ACC1", .status = "NEW"}));
  auto entries = journal();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(keys(entries[0].at("body")), keys(entries[1].at("body")));
  EXPECT_EQ(entries[2].at("body"), entries[3].at("body"));
  EXPECT_EQ(entries[4].at("target"), entries[5].at("target"));

  auto trades = run(service.async_get_trades(std::string("ACC1")));
  EXPECT_EQ(trades.size(), service.get_trades(std::string("ACC1")).size());
  auto stops = run(service.async_get_stop_orders(std::string("ACC1")));
  ASSERT_TRUE(stops.has_value());
  EXPECT_EQ(stops->size(), 2u);

  answer(422, R"({"detail": "Bad qty"})");
  auto refused = run(service.async_cancel_order("O-1", "ACC1"));
  EXPECT_FALSE(refused.success);
  EXPECT_EQ(refused.message, "Bad qty");
  EXPECT_EQ(logs.messages("ERROR").back(), "API Error: Bad qty");

  config.jwt_token = "";
  EXPECT_THROW(run(service.async_get_execution_reports()), tolbu_sdk::ValueError);
  EXPECT_THROW(run(service.async_close_position("HPG", 1, "B", "ACC1")), tolbu_sdk::ValueError);
  EXPECT_EQ(journal().size(), 10u) << "nothing sent without a token";
}
