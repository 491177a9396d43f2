// A program outside the SDK's tree, built against the installed package.
#include <tolbu_sdk/tolbu_sdk.hpp>

#include <boost/json.hpp>

#include <iostream>
#include <type_traits>

// Built with -DDEBUG -DERROR: the headers set the macros aside and give them back.
#if !defined(DEBUG) || ERROR != 1
#error "the SDK's headers must give back DEBUG and ERROR"
#endif

// The services keep a reference to their configuration: a temporary one must not compile.
static_assert(!std::is_constructible_v<tolbu_sdk::features::MarketDataService,
                                       tolbu_sdk::TolbuConfig>);
static_assert(!std::is_constructible_v<tolbu_sdk::features::OrderService, tolbu_sdk::TolbuConfig>);
static_assert(!std::is_constructible_v<tolbu_sdk::features::TolbuStream, tolbu_sdk::TolbuConfig>);
static_assert(std::is_constructible_v<tolbu_sdk::features::OrderService,
                                      const tolbu_sdk::TolbuConfig&>);

int main() {
  namespace json = boost::json;
  using tolbu_sdk::types::Candle;

  // Records, bars and the JSON writer from the installed headers and libraries.
  tolbu_sdk::strategy::Bars bars(3);
  for (int i = 0; i < 5; ++i) {
    const Candle candle = Candle::from_dict(json::parse(
        R"({"time": )" + std::to_string(1700000000000 + 60000 * i) +
        R"(, "open": 10, "high": 12, "low": 9, "close": )" + std::to_string(10 + i) + "}"));
    bars.add(tolbu_sdk::strategy::Bar::from_candle(candle, "VN30F2412"));
  }
  const json::object answer{{"sma", bars.sma(3)}, {"symbol", "VN30F2412"}};
  const std::string text = tolbu_sdk::platform::to_json_text(answer);
  if (text != R"({"sma": 13.0, "symbol": "VN30F2412"})") {
    std::cerr << "unexpected JSON text: " << text << "\n";
    return 1;
  }
  const auto config = tolbu_sdk::TolbuConfig::from_defaults();
  std::cout << "consumer ok " << config.streaming_ws << "\n";
  return 0;
}
