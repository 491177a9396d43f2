#pragma once
// A frozen tolbu-sim, a configuration pointing at it, an OrderService and its log lines.

#include "log_capture.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <regex>

namespace order_test {

namespace json = boost::json;

using tolbu_test::kStart;

class OrderTest : public ::testing::Test {
 protected:
  tolbu_test::SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(kStart)}};
  tolbu_sdk::TolbuConfig config = tolbu_sdk::TolbuConfig::from_endpoints(
      sim.base_url(), sim.base_url(), sim.ws_url(), sim.jwt());
  tolbu_sdk::features::OrderService service{config};
  tolbu_test::LogCapture logs{"tolbu_sdk.features.orders"};

  json::array journal(const std::string& prefix = "/api/") const {
    return json::parse(sim.get("/_sim/journal?path_prefix=" + prefix).body)
        .at("requests")
        .as_array();
  }
  std::string last_target() const {
    auto entries = journal();
    return entries.empty() ? "" : std::string(entries.back().at("target").as_string());
  }
  void fault(const json::object& answer) const {
    ASSERT_EQ(sim.post("/_sim/faults", json::serialize(answer)).status, 200);
  }
  void answer(int status, const std::string& body) const {
    fault({{"status", status}, {"body", body}, {"path_prefix", "/api/"}});
  }
  void set_price(const std::string& symbol, double price) const {
    ASSERT_EQ(
        sim.post("/_sim/price", json::serialize(json::object{{"symbol", symbol}, {"price", price}}))
            .status,
        200);
  }
  // Header names of a journal entry apart from the transport's Host and Content-Length.
  static std::vector<std::string> own_headers(const json::value& entry) {
    std::vector<std::string> names;
    for (const auto& [name, value] : entry.at("headers").as_object()) {
      if (name != "Host" && name != "Content-Length") names.emplace_back(name);
    }
    return names;
  }
  // Keys of a JSON body, in order.
  static std::vector<std::string> keys(const json::value& body_text) {
    std::vector<std::string> out;
    json::value body = json::parse(body_text.as_string());
    for (const auto& [key, value] : body.as_object()) out.emplace_back(key);
    return out;
  }
};

inline bool is_uuid4(const std::string& text) {
  static const std::regex pattern(
      "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  return std::regex_match(text, pattern);
}

// The path segments after a prefix.
inline std::vector<std::string> segments_after(const std::string& target,
                                               const std::string& prefix) {
  std::vector<std::string> out;
  if (target.rfind(prefix, 0) != 0) return out;
  std::string rest = target.substr(prefix.size());
  std::size_t start = 0;
  for (;;) {
    auto slash = rest.find('/', start);
    out.push_back(rest.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return out;
}

}  // namespace order_test
