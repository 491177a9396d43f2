// The request layer of OrderService: token, headers, debug lines, the error object.

#include "http_peers.hpp"
#include "order_fixture.hpp"
#include "tolbu_sdk/errors.hpp"

using namespace order_test;
using namespace std::chrono_literals;

TEST_F(OrderTest, WithoutTokenEveryOperationFailsAndNothingIsSent) {
  for (std::optional<std::string> token :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    config.jwt_token = token;
    auto expect_unset = [](auto&& call) {
      try {
        call();
        ADD_FAILURE() << "expected ValueError";
      } catch (const tolbu_sdk::ValueError& e) {
        EXPECT_STREQ(e.what(), "Authentication token not set");
      }
    };
    expect_unset([&] { service.place_order("HPG", "B", 26500, 100); });
    expect_unset([&] { service.cancel_order("O-1", "A1"); });
    expect_unset([&] { service.close_position("HPG", 100, "LONG", "A1"); });
    expect_unset([&] { service.place_stop_order("HPG", "B", 27000, 100, "A1"); });
    expect_unset([&] { service.place_bracket_order("HPG", "B", 26000, 100, "A1", 27000, 25000); });
    expect_unset([&] { service.get_orders(); });
    expect_unset([&] { service.get_execution_reports(); });
    expect_unset([&] { service.get_trades(); });
    expect_unset([&] { service.get_stop_orders(); });
    expect_unset([&] { service.get_bracket_orders(); });
  }
  EXPECT_TRUE(journal("/").empty());
  // The placement's own line comes first; no request line follows.
  EXPECT_EQ(logs.messages("INFO").front(), "Placing order: HPG B 100@26500.0");
  EXPECT_TRUE(logs.messages("DEBUG").empty());
}

TEST_F(OrderTest, EveryRequestCarriesExactlyTheTwoHeadersAndTheTokenIsReadEachTime) {
  service.get_orders();
  service.place_order("HPG", "B", 26500, 100);
  config.jwt_token = "rotated";
  service.get_trades();
  auto entries = journal();
  ASSERT_EQ(entries.size(), 3u);
  for (const auto& entry : entries) {
    EXPECT_EQ(own_headers(entry), (std::vector<std::string>{"Content-Type", "Authorization"}));
    EXPECT_EQ(entry.at("headers").at("Content-Type"), "application/json");
    EXPECT_EQ(entry.at("body"), "");
  }
  EXPECT_EQ(entries[0].at("headers").at("Authorization").as_string(), "Bearer " + sim.jwt());
  EXPECT_EQ(entries[2].at("headers").at("Authorization"), "Bearer rotated");
}

TEST_F(OrderTest, BaseUrlIsCopiedAtConstruction) {
  config.rest_api_url = "http://127.0.0.1:1";
  EXPECT_NO_THROW(service.get_orders());
  EXPECT_EQ(journal().size(), 1u);
}

TEST_F(OrderTest, DebugLinesTraceEachExchange) {
  service.get_orders(std::string("A1"));
  service.place_stop_order("HPG", "B", 27000, 100, "A1");
  std::string base = sim.base_url();
  auto debug = logs.messages("DEBUG");
  ASSERT_EQ(debug.size(), 5u);
  EXPECT_EQ(debug[0], "API Request: GET " + base + "/api/v1/orders");
  EXPECT_EQ(debug[1].rfind("API Response: 200 {\"data\": [", 0), 0u) << debug[1];
  EXPECT_EQ(debug[2], "API Request: POST " + base + "/api/v1/stop-orders");
  EXPECT_EQ(debug[3].rfind("Request body: {\"refOrderID\": \"", 0), 0u) << debug[3];
  EXPECT_EQ(debug[4].rfind("API Response: 200 ", 0), 0u);

  logs.clear();
  std::string long_body = "{\"data\": [], \"pad\": \"" + std::string(1000, 'p') + "\"}";
  answer(200, long_body);
  service.get_orders();
  EXPECT_EQ(logs.messages("DEBUG").at(1), "API Response: 200 " + long_body.substr(0, 500));
}

TEST_F(OrderTest, ErrorObjectTakesTheFirstNonEmptyMessage) {
  struct Case {
    int status;
    std::string body;
    std::string message;
  };
  std::vector<Case> cases = {
      {400, R"({"error": "", "message": "Bad qty"})", "Bad qty"},
      {400, R"({"error": "Rejected", "message": "Bad qty"})", "Rejected"},
      {422, R"({"detail": "price off the tick grid"})", "price off the tick grid"},
      {409, R"({"code": 7, "error": null})", R"({"code": 7, "error": null})"},
      {500, "", "HTTP 500"},
      {502, "<html><body>Bad gateway</body></html>", "<html><body>Bad gateway</body></html>"},
      {503, R"(["not", "an object"])", R"(["not", "an object"])"},
      {404, R"("just text")", R"("just text")"},
  };
  for (const auto& c : cases) {
    logs.clear();
    answer(c.status, c.body);
    auto response = service.place_order("HPG", "B", 26500, 100);
    EXPECT_FALSE(response.success) << c.body;
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.message, c.message);
    EXPECT_TRUE(response.data->is_null());
    EXPECT_EQ(logs.messages("ERROR"), std::vector<std::string>{"API Error: " + c.message});
  }
  // A message that is not text is kept as it is in the error object.
  answer(400, R"({"error": {"field": "qty"}})");
  auto response = service.place_order("HPG", "B", 26500, 100);
  EXPECT_EQ(response.message, R"({"field": "qty"})");
}

TEST_F(OrderTest, WrongTokenGivesTheSimsUnauthorizedError) {
  config.jwt_token = "stale";
  auto response = service.place_order("HPG", "B", 26500, 100);
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(response.message, "Invalid or missing bearer token");
  EXPECT_TRUE(service.get_orders().empty());
  EXPECT_EQ(service.get_stop_orders(), std::nullopt);
}

TEST_F(OrderTest, SuccessBodiesMustBeObjectsOrNull) {
  answer(200, "[]");
  EXPECT_THROW(service.get_orders(), tolbu_sdk::TypeError);
  answer(200, "42");
  EXPECT_THROW(service.place_order("HPG", "B", 26500, 100), tolbu_sdk::TypeError);
  answer(200, "not json");
  EXPECT_THROW(service.place_order("HPG", "B", 26500, 100), tolbu_sdk::ValueError);
  answer(200, "");
  EXPECT_THROW(service.cancel_order("O-1", ""), tolbu_sdk::ValueError);
  // null: an absent answer, which the placement reports as an unknown outcome.
  answer(200, "null");
  auto response = service.place_order("HPG", "B", 26500, 100);
  EXPECT_FALSE(response.success);
  EXPECT_EQ(response.message, "Empty response");
  answer(200, "null");
  EXPECT_THROW(service.get_orders(), tolbu_sdk::TypeError) << "no \"data\" to read";
}

TEST_F(OrderTest, TransportFailuresPropagateAfterTheRequestLine) {
  tolbu_sdk::features::OrderService slow(config, {.stall_timeout = 200ms});
  fault({{"delay_ms", 5000}});
  EXPECT_THROW(slow.get_orders(), tolbu_sdk::TransportError);
  fault({{"drop", true}});
  EXPECT_THROW(service.place_order("HPG", "B", 26500, 100), tolbu_sdk::TransportError);

  config.rest_api_url = "http://127.0.0.1:1";
  tolbu_sdk::features::OrderService unreachable(config, {.connect_timeout = 1000ms});
  logs.clear();
  EXPECT_THROW(unreachable.place_stop_order("HPG", "B", 27000, 100, "A1"),
               tolbu_sdk::TransportError);
  auto debug = logs.messages("DEBUG");
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[0], "API Request: POST http://127.0.0.1:1/api/v1/stop-orders");
  EXPECT_TRUE(logs.messages("ERROR").empty());
}

// A redirect (or a 101 nobody asked for) means the server did not take the order, and the
// client never sends it again: a failure that says so, never a success or a decode error.
TEST(OrderAnswers, RedirectsAndUpgradesAreReportedAsNotProcessed) {
  struct Case {
    std::string head;
    std::string body;
    std::string in_message;
  };
  std::vector<Case> cases = {
      {"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://elsewhere/new\r\n", "",
       "redirecting to http://elsewhere/new"},
      {"HTTP/1.1 308 Permanent Redirect\r\nLocation: /v2/orders\r\n", "",
       "redirecting to /v2/orders"},
      {"HTTP/1.1 302 Found\r\nLocation: /login\r\n", R"({"orderID": "O-1"})", "HTTP 302 Found"},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n", "",
       "HTTP 101 Switching Protocols"},
  };
  for (const auto& c : cases) {
    http_test::RawPeer peer([&](int fd, const std::string&) {
      http_test::send_text(
          fd, c.head + "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body);
    });
    auto config =
        tolbu_sdk::TolbuConfig::from_endpoints(peer.base(), peer.base(), "ws://unused", "t");
    tolbu_sdk::features::OrderService service(config);
    tolbu_test::LogCapture logs{"tolbu_sdk.features.orders"};
    auto response = service.place_order("HPG", "B", 26500, 100);
    EXPECT_FALSE(response.success) << c.head;
    EXPECT_EQ(response.status, std::stoi(c.head.substr(9, 3)));
    EXPECT_EQ(response.message.rfind("Not processed: ", 0), 0u) << response.message;
    EXPECT_NE(response.message.find(c.in_message), std::string::npos) << response.message;
    EXPECT_EQ(logs.messages("ERROR"), std::vector<std::string>{"API Error: " + response.message});
    EXPECT_EQ(peer.served(), 1) << "sent once";
  }
}
