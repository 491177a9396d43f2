// tolbu-sim refuses what a real back end refuses, and its journal and "drop" fault let tests
// prove that a request went out exactly once.

#include "sim_process.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

namespace json = boost::json;
namespace http = tolbu_sdk::platform::http;
using tolbu_test::SimProcess;

namespace {

class SimStrict : public ::testing::Test {
 protected:
  SimProcess sim{{"--speed", "0"}};
  http::Client client;
  http::Headers auth{{"Authorization", "Bearer " + sim.jwt()}};

  http::Response post(const std::string& path, const json::value* body = nullptr,
                      http::Headers headers = {}) {
    http::Headers all = auth;
    all.insert(all.end(), headers.begin(), headers.end());
    return client.request("POST", sim.base_url() + path, all, body);
  }
  std::string refusal(const http::Response& response) {
    EXPECT_EQ(response.status_code, 400) << response.text;
    EXPECT_EQ(response.reason, "Bad Request");
    return std::string(response.json().at("error").as_string());
  }
  json::array journal() {
    return json::parse(sim.get("/_sim/journal").body).at("requests").as_array();
  }
};

}  // namespace

TEST_F(SimStrict, PathNumbersMustBeTheSdksNumberText) {
  sim.post("/_sim/price", R"({"symbol": "HPG", "price": 26500})");
  for (const char* price : {"26500", "0x6784", "2.65e4", "+26500.0", "26500.00"})
    EXPECT_EQ(refusal(post(std::string("/api/v1/orders/new/r/A/HPG/B/") + price + "/100/LO")),
              std::string("Invalid price '") + price + "'");
  EXPECT_EQ(refusal(post("/api/v1/orders/new/r/A/HPG/B/26500.0/0100/LO")),
            "Invalid quantity '0100'");
  EXPECT_EQ(post("/api/v1/orders/new/r/A/HPG/B/26500.0/100/LO").status_code, 200);
  // Every refusal is journaled like any request.
  EXPECT_EQ(journal().size(), 7u);
}

TEST_F(SimStrict, BodiesNeedTheirContentTypeAndOnlyKnownKeys) {
  json::value stop = json::object{{"refOrderID", "s1"}, {"accountID", "A"},  {"symbol", "HPG"},
                                  {"orderSide", "S"},   {"stopPrice", 25000}, {"qty", 100}};
  EXPECT_EQ(refusal(post("/api/v1/stop-orders", &stop, {{"Content-Type", "text/plain"}})),
            "A JSON body needs \"Content-Type: application/json\"");
  json::value misspelt = stop;
  misspelt.as_object().erase("qty");
  misspelt.as_object()["quantity"] = 100;
  EXPECT_EQ(refusal(post("/api/v1/stop-orders", &misspelt)), "Unknown field \"quantity\"");
  json::value bracket = json::object{
      {"symbol", "HPG"},      {"side", "B"},           {"account", ""},
      {"quantity", 100},      {"orderType", "LO"},     {"conditionPrice", 26000},
      {"conditionType", "<="}, {"takeProfitPrice", 27000}, {"stopLossPrice", 25000},
      {"limitPrice", 1}};
  EXPECT_EQ(refusal(post("/api/v1/orders/bracket-order", &bracket)), "Unknown field \"limitPrice\"");

  EXPECT_EQ(post("/api/v1/stop-orders", &stop).status_code, 200);
  auto again = post("/api/v1/stop-orders", &stop);
  EXPECT_EQ(again.status_code, 409) << "stop orders are deduplicated by ref id";
  EXPECT_EQ(again.reason, "Conflict");
}

TEST_F(SimStrict, QueryKeysAreCaseSensitive) {
  auto wrong = client.get(sim.base_url() + "/api/v1/orders?accountid=A", auth);
  EXPECT_EQ(refusal(wrong), "Unknown query parameter 'accountid' (did you mean 'accountId'?)");
  EXPECT_EQ(client.get(sim.base_url() + "/api/v1/trades?AccountId=A", auth).status_code, 400);
  EXPECT_EQ(client.get(sim.base_url() + "/api/v1/orders?accountId=A", auth).status_code, 200);
}

TEST_F(SimStrict, ReasonPhrasesMatchTheStatus) {
  EXPECT_EQ(client.get(sim.base_url() + "/api/v1/orders").reason, "Unauthorized");
  EXPECT_EQ(client.get(sim.base_url() + "/nothing/here").reason, "Not Found");
  EXPECT_EQ(client.request("PUT", sim.base_url() + "/api/v1/orders", auth).reason,
            "Method Not Allowed");
  sim.post("/_sim/faults", R"({"status": 299, "body": "{}"})");
  EXPECT_EQ(client.get(sim.base_url() + "/x").reason, "OK");
}

TEST_F(SimStrict, DropAfterActingPlacesTheOrderOnceAndTheJournalCountsArrivals) {
  sim.post("/_sim/price", R"({"symbol": "HPG", "price": 26500})");
  // Warm the connection, then lose it after the order was placed.
  EXPECT_EQ(client.get(sim.base_url() + "/api/v1/orders", auth).status_code, 200);
  sim.post("/_sim/faults",
           R"({"drop": true, "act": true, "path_prefix": "/api/v1/orders/new/"})");
  try {
    post("/api/v1/orders/new/ref-1/A/HPG/B/26000.0/100/LO");
    FAIL() << "expected a TransportError";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("may have reached the server"), std::string::npos)
        << e.what();
  }
  auto orders = client.get(sim.base_url() + "/api/v1/orders", auth).json().at("data").as_array();
  ASSERT_EQ(orders.size(), 1u) << "the back end acted on it";
  auto entries = json::parse(sim.get("/_sim/journal?path_prefix=/api/v1/orders/new/").body)
                     .at("requests")
                     .as_array();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].at("arrival"), 1) << "the order went out exactly once";

  // A GET that arrives twice is counted twice.
  client.get(sim.base_url() + "/api/v1/orders", auth);
  auto all = journal();
  EXPECT_EQ(all.back().at("arrival"), 3);
  EXPECT_EQ(sim.post("/_sim/faults", R"({"act": true})").status, 400) << "act only with drop";
}
