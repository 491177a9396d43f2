// Compiled once per FORM by check_co_await_refusals.cmake. Under g++ every FORM above 0 (an
// owning callable written inline in an awaited call) must fail with the message that names
// the fix; FORM 0, the same callables bound to variables first, must compile.

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <string>

#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/features/streaming.hpp"

namespace sdk = tolbu_sdk;

boost::asio::awaitable<void> forms(sdk::features::TolbuStream& stream,
                                   sdk::backtest::BacktestRuntime& runtime) {
  std::string symbol = "HPG";
  auto shared = std::make_shared<int>(1);
#if FORM == 0
  auto on_candle = [symbol](const sdk::types::Candle&) {};
  auto on_any = [shared](const boost::json::value&) {};
  auto on_connect = [s = std::string("x")] {};
  auto on_disconnect = [shared] {};
  auto on_bar = [shared](const sdk::backtest::ReplayBar&) {};
  co_await stream.connect(on_connect, on_disconnect, [&symbol](const std::exception&) {});
  co_await stream.subscribe_candles(symbol, 60, on_candle);
  co_await stream.subscribe(symbol, on_any);
  co_await stream.subscribe_order_execution_report("SIM0001", on_any);
  co_await runtime.run(on_bar);
  co_await runtime.run([&symbol](const sdk::backtest::ReplayBar&) {});  // owns nothing
#elif FORM == 1
  co_await stream.subscribe_candles(symbol, 60, [symbol](const sdk::types::Candle&) {});
#elif FORM == 2
  co_await stream.subscribe(symbol, [shared](const boost::json::value&) {});
#elif FORM == 3
  co_await stream.connect([s = std::string("x")] {});
#elif FORM == 4
  co_await stream.connect(nullptr, [shared](const sdk::features::DisconnectInfo&) {});
#elif FORM == 5
  co_await stream.subscribe_order_execution_report("SIM0001",
                                                   [symbol](const boost::json::value&) {});
#elif FORM == 6
  co_await runtime.run([shared](const sdk::backtest::ReplayBar&) {});
#elif FORM == 7
  co_await stream.subscribe_depth(symbol, sdk::features::DepthCallback([](const auto&) {}));
#endif
}
