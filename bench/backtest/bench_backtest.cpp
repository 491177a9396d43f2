// A trading year of one-minute bars (97,500) through the lockstep backtest runtime against
// tolbu-sim --replay, over sockets to the sim's process and in-process (the sim linked in,
// inproc://), next to their baseline: the strategy's own per-bar work (bar, history, two SMAs
// and an ATR, the crossover test) on the same candles fetched once. Wall-clock time (the sim
// process runs beside); the program ends with the ratios.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdio>

#include "sim_process.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/features/indicators.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/sim/engine.hpp"
#include "tolbu_sdk/strategy/bars.hpp"

namespace {

namespace asio = boost::asio;
namespace ind = tolbu_sdk::features::indicators;
using tolbu_sdk::strategy::Bar;

constexpr std::int64_t kFrom = 1'704'186'000'000;  // 2024-01-02T09:00:00Z
constexpr int kResolution = 60;
constexpr std::int64_t kBars = 97'500;  // 250 sessions of 6.5 hours
constexpr std::int64_t kTo = kFrom + kBars * kResolution * 1000;

double g_baseline = 0, g_lockstep = 0, g_inproc = 0;

// What the example strategy does with each bar, without orders.
struct PerBarWork {
  tolbu_sdk::strategy::Bars bars{1000};
  ind::SMA fast{10, tolbu_sdk::ta::IndicatorOptions{.max_history = 512}};
  ind::SMA slow{30, tolbu_sdk::ta::IndicatorOptions{.max_history = 512}};
  ind::ATR atr{14, tolbu_sdk::ta::IndicatorOptions{.max_history = 512}};
  std::size_t crossovers = 0;

  void on_candle(const tolbu_sdk::types::Candle& candle) {
    const Bar bar = Bar::from_candle(candle, "HPG");
    bars.add(bar);
    const auto pf = fast.value(), ps = slow.value();
    fast.add(bar);
    slow.add(bar);
    atr.add(bar);
    const auto f = fast.value(), s = slow.value();
    if (pf && ps && f && s && ((*pf <= *ps && *f > *s) || (*pf >= *ps && *f < *s))) ++crossovers;
  }
};

void BM_StrategyWorkOnly(benchmark::State& state) {
  tolbu_test::SimProcess sim({"--speed", "0", "--start-ms", std::to_string(kTo)});
  auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(),
                                                       sim.jwt());
  tolbu_sdk::features::MarketDataService prices(config);
  const auto candles = prices.fetch_candles("HPG", kResolution, kFrom, kTo - 1);
  for (auto _ : state) {
    PerBarWork work;
    for (const auto& c : candles) work.on_candle(c);
    benchmark::DoNotOptimize(work.crossovers);
  }
  const double per_s =
      static_cast<double>(candles.size()) * static_cast<double>(state.iterations());
  state.counters["bars_per_s"] = benchmark::Counter(per_s, benchmark::Counter::kIsRate);
  state.counters["bars"] = static_cast<double>(candles.size());
}

// The whole lockstep on one loop: connect, start, every step, disconnect.
bool run_lockstep(asio::io_context& loop, const tolbu_sdk::TolbuConfig& config, PerBarWork& work) {
  tolbu_sdk::features::TolbuStream stream(config);
  tolbu_sdk::backtest::BacktestRuntime runtime(
      config, stream, {.symbol = "HPG", .resolution = kResolution, .from_ms = kFrom, .to_ms = kTo});
  std::exception_ptr failure;
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        co_await stream.connect();
        co_await stream.client()->ready(std::chrono::seconds(10));
        co_await runtime.start();
        co_await stream.subscribe_candles(
            "HPG", kResolution, [&](const tolbu_sdk::types::Candle& c) { work.on_candle(c); });
        co_await runtime.run();
        co_await stream.disconnect();
      },
      [&](std::exception_ptr e) {
        failure = e;
        loop.stop();
      });
  loop.run();
  return !failure;
}

void BM_LockstepBacktest(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    tolbu_test::SimProcess sim({"--replay"});
    auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                         sim.ws_url(), sim.jwt());
    asio::io_context loop;
    PerBarWork work;
    state.ResumeTiming();
    if (!run_lockstep(loop, config, work)) {
      state.SkipWithError("backtest failed");
      return;
    }
    benchmark::DoNotOptimize(work.crossovers);
  }
  state.counters["bars_per_s"] =
      benchmark::Counter(static_cast<double>(kBars) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["bars"] = static_cast<double>(kBars);
}

// The same against the sim linked into this program, on the strategy's loop.
void BM_InprocLockstepBacktest(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    asio::io_context loop;
    tolbu_sdk::sim::Engine sim(loop, {"--replay", "--quiet"});
    auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                         sim.ws_url(), sim.jwt());
    PerBarWork work;
    state.ResumeTiming();
    if (!run_lockstep(loop, config, work)) {
      state.SkipWithError("backtest failed");
      return;
    }
    benchmark::DoNotOptimize(work.crossovers);
  }
  state.counters["bars_per_s"] =
      benchmark::Counter(static_cast<double>(kBars) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["bars"] = static_cast<double>(kBars);
}

BENCHMARK(BM_StrategyWorkOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LockstepBacktest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_InprocLockstepBacktest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      const auto it = run.counters.find("bars_per_s");
      if (it == run.counters.end()) continue;
      if (run.benchmark_name().find("StrategyWorkOnly") != std::string::npos)
        g_baseline = it->second.value;
      if (run.benchmark_name().find("BM_LockstepBacktest") != std::string::npos)
        g_lockstep = it->second.value;
      if (run.benchmark_name().find("Inproc") != std::string::npos) g_inproc = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (g_baseline > 0 && g_lockstep > 0) {
    std::printf(
        "\nA trading year of 1-minute bars (%lld): lockstep backtest %.0f bars/s "
        "(%.2f s, %.0f us per bar); strategy work alone %.0f bars/s; ratio %.1fx\n",
        static_cast<long long>(kBars), g_lockstep, kBars / g_lockstep, 1e6 / g_lockstep, g_baseline,
        g_baseline / g_lockstep);
  }
  if (g_baseline > 0 && g_lockstep > 0 && g_inproc > 0) {
    std::printf(
        "In-process lockstep %.0f bars/s (%.2f s, %.1f us per bar): %.1fx the socket lockstep; "
        "strategy work alone %.1fx the in-process lockstep\n",
        g_inproc, kBars / g_inproc, 1e6 / g_inproc, g_inproc / g_lockstep, g_baseline / g_inproc);
  }
  return 0;
}
