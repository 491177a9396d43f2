#pragma once
// The backtest runtime: the strategy's own code and services (TolbuStream, MarketDataService,
// OrderService) against tolbu-sim started with --replay, which replays a range of candle
// history one bar at a time. The runtime asks for the next bar only once the strategy has
// handled the previous one and everything it caused (fills, execution reports), so the result
// depends only on the data, the parameters and the seed, never on the machine's speed.
//
//   BacktestRuntime runtime(config, stream, {.symbol = "FPT", .resolution = 60,
//                                            .from_ms = from, .to_ms = to});
//   co_await stream.connect(); co_await stream.client()->ready(10s);
//   co_await runtime.start();            // the sim's clock stands at the first bar's start
//   ... load history over REST, subscribe candles and reports ...
//   co_await runtime.run([&](const ReplayBar& bar) { curve.push_back(...); });
//
// Each step: the sim moves its clock to the end of bar K, matches resting orders, publishes
// bar K complete on its candle channel and the opening candle of bar K+1, then a marker on
// "replay:clock". The stream hands them to the callbacks in that order; the marker's arrival
// means the strategy is done with bar K. Orders placed while handling bar K fill at the open
// of bar K+1 (the price at the instant bar K closed); limit orders that do not cross it rest
// and are matched at each later bar boundary at their limit.
//
// The steps are driven by Centrifugo "rpc" commands on the stream's own connection, behind
// the publications they cause; TLS works as for the stream.
// Everything runs on the stream's event loop except progress(), which any thread may call.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/detail/co_await_safe.hpp"
#include "tolbu_sdk/platform/export.hpp"

// Backtests: candle history replayed through the strategy, and the report of the result.
namespace tolbu_sdk::backtest {

// The bars a backtest replays: one or more instruments, one resolution, a time range.
struct TOLBU_API ReplayRange {
  // The first instrument; its candles define the steps.
  std::string symbol;
  int resolution = 60;       // seconds
  std::int64_t from_ms = 0;  // the first bar is the first candle starting at or after this
  std::int64_t to_ms = 0;    // bars start before this
  // More symbols stepped in the same lockstep, after `symbol`.
  std::vector<std::string> more_symbols{};
  // The account's starting cash on the sim, which margins its orders; absent: the sim's own.
  std::optional<double> capital{};
};

// One bar the strategy has handled.
struct TOLBU_API ReplayBar {
  std::size_t index = 0;     // from 0
  std::size_t count = 0;     // bars in the range
  std::int64_t time_ms = 0;  // the bar's start
  // The bar's close.
  double close = 0.0;
};

// How far a replay has come, readable from any thread.
struct TOLBU_API ReplayProgress {
  // Bars handled.
  std::size_t done = 0;
  // Bars in the range.
  std::size_t total = 0;
  double seconds = 0.0;  // since run() began
  // Bars handled per second of run() so far; 0 at the start.
  double bars_per_second() const { return seconds > 0 ? static_cast<double>(done) / seconds : 0; }
  // Seconds the remaining bars take at the pace so far.
  double seconds_left() const;
  // Bars handled, in per cent of the range.
  double percent() const {
    return total == 0 ? 0.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total);
  }
};

// Steps a replay of the sim's candle history through the strategy, one bar at a time.
class TOLBU_API BacktestRuntime {
 public:
  // Keeps references to both; the replay runs over the stream's connection.
  BacktestRuntime(const TolbuConfig& config, features::TolbuStream& stream, ReplayRange range);
  ~BacktestRuntime();
  BacktestRuntime(const BacktestRuntime&) = delete;
  BacktestRuntime& operator=(const BacktestRuntime&) = delete;

  // Starts the replay over the stream's connection (connected by now); returns the number
  // of bars. The sim's clock then stands at the first bar's start: history fetched now ends
  // there. Throws ValueError for a bad range, RuntimeError when not connected or the sim
  // refuses.
  platform::detail::awaitable<std::size_t> start();

  // Subscribes the marker channel on the stream (connected by now, with the strategy's
  // subscriptions made) and steps through every bar; on_bar runs once the strategy has
  // handled a bar. Returns after the last bar or after request_stop(). Throws RuntimeError
  // when a step gets no answer within step_timeout.
  // (Under g++ an owning lambda written inline here does not compile: bind it to a variable.)
  platform::detail::awaitable<void> run(
      platform::detail::CoAwaitSafe<std::function<void(const ReplayBar&)>> on_bar = {});

  // Ends run() after the current step (on the loop).
  void request_stop();
  ReplayProgress progress() const;  // any thread

  // How long a step may take before run() fails.
  std::chrono::milliseconds step_timeout{30000};
  // Awaited before every step: what the strategy sent while handling a bar (orders whose
  // answers are still on their way) reaches the back end before its clock moves on.
  std::function<platform::detail::awaitable<void>()> before_step;
  // The channel of the sim's step markers.
  static constexpr const char* MARKER_CHANNEL = "replay:clock";

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tolbu_sdk::backtest
