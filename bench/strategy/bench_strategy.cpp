// Per-tick costs of the strategy side, each next to a baseline doing the bare work on a plain
// array of the same bars in the same run; the program ends with the ratios (CPU time, which
// a shared machine disturbs less than wall time).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tolbu_sdk/strategy/bars.hpp"
#include "tolbu_sdk/strategy/position.hpp"

namespace {

using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::Bars;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::strategy::PositionSide;

constexpr int kCapacity = 1000;
constexpr int kPeriod = 20;

Bar make_bar(int i) {
  const double c = 100.0 + (i % 37) * 0.25;
  return Bar{"VN30F1M", tolbu_sdk::platform::LocalDateTime{std::chrono::seconds(i)},
             c - 0.1,   c + 0.5,
             c - 0.5,   c,
             1000.0 + i};
}

// A full history whose ring head sits mid-buffer, so windows may straddle the wrap.
Bars full_history() {
  Bars bars(kCapacity);
  for (int i = 0; i < kCapacity + kCapacity / 2 + 7; ++i) bars.add(make_bar(i));
  return bars;
}

// The same bars in a plain array: the baselines do the bare loop over the same layout.
std::vector<Bar> plain_bars() {
  std::vector<Bar> v;
  for (int i = 0; i < kCapacity; ++i) v.push_back(make_bar(i));
  return v;
}

void Baseline_CopyBarIntoArray(benchmark::State& state) {
  std::vector<Bar> ring = plain_bars();
  const Bar bar = make_bar(3);
  std::size_t slot = 0;
  for (auto _ : state) {
    ring[slot] = bar;
    if (++slot == ring.size()) slot = 0;
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Baseline_CopyBarIntoArray);

void Bars_add_at_capacity(benchmark::State& state) {
  Bars bars = full_history();
  const Bar bar = make_bar(3);
  for (auto _ : state) {
    bars.add(bar);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(Bars_add_at_capacity);

void Baseline_Sum20Bars(benchmark::State& state) {
  std::vector<Bar> v = plain_bars();
  for (auto _ : state) {
    benchmark::DoNotOptimize(v.data());
    double sum = 0;
    for (std::size_t i = v.size() - kPeriod; i < v.size(); ++i) sum += v[i].close;
    benchmark::DoNotOptimize(sum / kPeriod);
  }
}
BENCHMARK(Baseline_Sum20Bars);

void Bars_sma20(benchmark::State& state) {
  Bars bars = full_history();
  for (auto _ : state) {
    benchmark::DoNotOptimize(&bars);
    benchmark::DoNotOptimize(bars.sma(kPeriod));
  }
}
BENCHMARK(Bars_sma20);

void Baseline_Ema20Bars(benchmark::State& state) {
  std::vector<Bar> v = plain_bars();
  const double k = 2.0 / (kPeriod + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(v.data());
    std::size_t i = v.size() - kPeriod;
    double e = v[i].close;
    for (++i; i < v.size(); ++i) e = v[i].close * k + e * (1 - k);
    benchmark::DoNotOptimize(e);
  }
}
BENCHMARK(Baseline_Ema20Bars);

void Bars_ema20(benchmark::State& state) {
  Bars bars = full_history();
  for (auto _ : state) {
    benchmark::DoNotOptimize(&bars);
    benchmark::DoNotOptimize(bars.ema(kPeriod));
  }
}
BENCHMARK(Bars_ema20);

void Baseline_Max20Bars(benchmark::State& state) {
  std::vector<Bar> v = plain_bars();
  for (auto _ : state) {
    benchmark::DoNotOptimize(v.data());
    double best = v[v.size() - kPeriod].high;
    for (std::size_t i = v.size() - kPeriod + 1; i < v.size(); ++i)
      if (v[i].high > best) best = v[i].high;
    benchmark::DoNotOptimize(best);
  }
}
BENCHMARK(Baseline_Max20Bars);

void Bars_highest20(benchmark::State& state) {
  Bars bars = full_history();
  for (auto _ : state) {
    benchmark::DoNotOptimize(&bars);
    benchmark::DoNotOptimize(bars.highest(kPeriod));
  }
}
BENCHMARK(Bars_highest20);

// The arithmetic of a price update on plain doubles, without the extremes.
void Baseline_PnlArithmetic(benchmark::State& state) {
  struct {
    double current, pnl;
  } p{};
  const double entry = 100, qty = 10, pv = 1;
  int i = 0;
  for (auto _ : state) {
    const double price = 100.0 + (++i & 15) * 0.1;
    p.current = price;
    p.pnl = (price - entry) * qty * pv;
    benchmark::DoNotOptimize(&p);
  }
}
BENCHMARK(Baseline_PnlArithmetic);

void Position_update_price(benchmark::State& state) {
  Position pos("p", "VN30F1M", PositionSide::LONG, 10, 100.0, {});
  int i = 0;
  for (auto _ : state) {
    pos.update_price(100.0 + (++i & 15) * 0.1);
    benchmark::DoNotOptimize(&pos);
  }
}
BENCHMARK(Position_update_price);

// Console output as usual, then one ratio per measured operation.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions the median stands for the benchmark.
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const std::string name = r.run_name.str();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        times_[name] = r.GetAdjustedCPUTime();
        medians_.insert(name);
      } else if (r.run_type == Run::RT_Iteration && !medians_.count(name)) {
        times_[name] = r.GetAdjustedCPUTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"Bars_add_at_capacity", "Baseline_CopyBarIntoArray"},
        {"Bars_sma20", "Baseline_Sum20Bars"},
        {"Bars_ema20", "Baseline_Ema20Bars"},
        {"Bars_highest20", "Baseline_Max20Bars"},
        {"Position_update_price", "Baseline_PnlArithmetic"},
    };
    std::printf("\nCPU time ratio against the baseline of the same run:\n");
    for (const auto& [name, base] : pairs) {
      auto a = times_.find(name), b = times_.find(base);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-24s %8.2f ns  / %-26s %8.2f ns  = %.2f\n", name, a->second, base, b->second,
                  a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
