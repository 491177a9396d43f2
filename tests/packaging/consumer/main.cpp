// A program outside the SDK's tree, built against the installed package.
#include <tolbu_sdk/platform/json.hpp>
#include <tolbu_sdk/platform/number_text.hpp>

#include <boost/json.hpp>

#include <iostream>

int main() {
  namespace json = boost::json;
  const json::object answer{{"price", 1250.0}, {"symbol", "VN30F2412"}};
  const std::string text = tolbu_sdk::platform::to_json_text(answer);
  if (text != R"({"price": 1250.0, "symbol": "VN30F2412"})") {
    std::cerr << "unexpected JSON text: " << text << "\n";
    return 1;
  }
  std::cout << "consumer ok " << tolbu_sdk::platform::number_text(0.5) << "\n";
  return 0;
}
