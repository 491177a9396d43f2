// Cost of one add for every indicator, with the parameters of the reference vectors, over
// 100,000 inputs; SMA, StdDev, Stoch and CCI at periods 20, 200 and 2,000; the smart layer's paths.
// Indicators keep a bounded history (max_history 1000), as a long-running strategy would:
// that is the steady state, where an add allocates nothing. With the whole history kept, the
// growth of the buffers (page faults of fresh memory) adds to the figures: a few rows show it.
// Every figure is also given as a ratio to a baseline measured in the same run: a plain loop
// summing the same inputs; and to SMA(20) built by name, the cheapest indicator on the same
// path. The composite indicators (TTM, KST, STC, StochRSI, ChandeKrollStop, Ichimoku, SFX) run
// also with every period ten times longer: their cost per add must not grow with the periods.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <boost/json/value.hpp>

#include "reference.hpp"
#include "tolbu_sdk/features/indicators.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace {

using namespace tolbu_sdk;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kInputs = 100'000;
constexpr std::size_t kHistory = 1000;

struct Inputs {
  std::vector<ta::Value> closes;
  std::vector<ta::Value> bars;
  std::vector<double> close_numbers;
  std::vector<strategy::Bar> strategy_bars;
};

// A deterministic random walk of one-minute bars.
const Inputs& inputs() {
  static const Inputs in = [] {
    Inputs r;
    std::uint64_t seed = 12345;
    const auto next = [&] {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      return static_cast<double>(seed >> 11) / static_cast<double>(1ULL << 53);
    };
    const auto start = platform::make_local(2024, 1, 2, 9, 0);
    double close = 100.0;
    for (std::size_t i = 0; i < kInputs; ++i) {
      const double open = close;
      close = std::max(1.0, open + (next() - 0.5) * 2.0);
      const double high = std::max(open, close) + next();
      const double low = std::min(open, close) - next();
      const double volume = 1000.0 + std::floor(next() * 5000.0);
      const auto time = start + std::chrono::minutes(i);
      r.bars.emplace_back(ta::OHLCV{open, high, low, close, volume, time});
      r.closes.emplace_back(close);
      r.close_numbers.push_back(close);
      r.strategy_bars.push_back(strategy::Bar{"X", time, open, high, low, close, volume});
    }
    return r;
  }();
  return in;
}

struct Result {
  double ns_per_add = 0;
};
std::map<std::string, Result>& results() {
  static std::map<std::string, Result> r;
  return r;
}
std::vector<std::string>& order() {
  static std::vector<std::string> o;
  return o;
}
double g_baseline_ns = 0;

void record(benchmark::State& state, const std::string& name, Clock::duration spent) {
  const double ns = std::chrono::duration<double, std::nano>(spent).count() /
                    (static_cast<double>(state.iterations()) * kInputs);
  state.counters["ns_per_add"] = ns;
  if (g_baseline_ns > 0) state.counters["x_baseline"] = ns / g_baseline_ns;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kInputs));
  if (!results().contains(name)) order().push_back(name);
  results()[name].ns_per_add = ns;
}

void baseline(benchmark::State& state) {
  const auto& xs = inputs().close_numbers;
  Clock::duration spent{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    double sum = 0;
    for (double x : xs) {
      sum += x;
      benchmark::DoNotOptimize(sum);
    }
    spent += Clock::now() - t0;
  }
  const double ns = std::chrono::duration<double, std::nano>(spent).count() /
                    (static_cast<double>(state.iterations()) * kInputs);
  g_baseline_ns = ns;
  record(state, "baseline: sum of inputs", spent);
}

// One indicator built by name, fed every input through the dynamic face.
template <class Make>
void by_name(benchmark::State& state, const std::string& label, bool ohlcv, Make make) {
  const auto& xs = ohlcv ? inputs().bars : inputs().closes;
  Clock::duration spent{};
  for (auto _ : state) {
    auto ind = make();
    const auto t0 = Clock::now();
    for (const auto& x : xs) ind->add_value(x);
    spent += Clock::now() - t0;
    benchmark::DoNotOptimize(ind->size());
  }
  record(state, label, spent);
}

void typed_sma(benchmark::State& state) {
  const auto& xs = inputs().close_numbers;
  Clock::duration spent{};
  for (auto _ : state) {
    ta::SMA sma(20, {.max_history = kHistory});
    const auto t0 = Clock::now();
    for (double x : xs) sma.add(x);
    spent += Clock::now() - t0;
    benchmark::DoNotOptimize(sma.value());
  }
  record(state, "SMA(20) typed add(double)", spent);
}

void unbounded_typed_sma(benchmark::State& state) {
  const auto& xs = inputs().close_numbers;
  Clock::duration spent{};
  for (auto _ : state) {
    ta::SMA sma(20);
    const auto t0 = Clock::now();
    for (double x : xs) sma.add(x);
    spent += Clock::now() - t0;
    benchmark::DoNotOptimize(sma.value());
  }
  record(state, "SMA(20) typed, whole history", spent);
}

template <class Smart>
void smart_bars(benchmark::State& state, const std::string& label,
                std::optional<ta::SamplingPeriodType> sampling) {
  const auto& bars = inputs().strategy_bars;
  Clock::duration spent{};
  for (auto _ : state) {
    Smart ind(20, ta::IndicatorOptions{.input_sampling = sampling, .max_history = kHistory});
    const auto t0 = Clock::now();
    for (const auto& b : bars) ind.add(b);
    spent += Clock::now() - t0;
    benchmark::DoNotOptimize(ind.size());
  }
  record(state, label, spent);
}

std::string label_of(const boost::json::object& c) {
  std::string params;
  for (const auto& [k, v] : c.at("params").as_object()) {
    if (!params.empty()) params += ",";
    params += v.is_string() ? std::string(v.as_string()) : boost::json::serialize(v);
  }
  return fmt::format("{}({})", std::string(c.at("indicator").as_string()), params);
}

// The composites whose cost is worth watching, at their vectors' parameters and with every
// period ten times longer.
constexpr const char* kComposites[] = {"TTM",      "KST", "STC", "StochRSI", "ChandeKrollStop",
                                       "Ichimoku", "SFX"};
constexpr double kLonger = 10.0;

std::vector<ta::NamedParam> longer_periods(std::vector<ta::NamedParam> params) {
  for (auto& p : params) {
    if (p.name.find("period") == std::string::npos) continue;
    if (auto* v = std::get_if<double>(&p.value)) *v *= kLonger;
  }
  return params;
}

std::string longer_label(const std::string& name) {
  return fmt::format("{} periods x{}", name, kLonger);
}

void register_all() {
  benchmark::RegisterBenchmark("baseline", baseline);
  benchmark::RegisterBenchmark("typed/SMA20", typed_sma);
  benchmark::RegisterBenchmark("typed/SMA20_unbounded", unbounded_typed_sma);
  const auto& ref = ta::testing::reference();
  if (!ref.error.empty()) {
    std::fprintf(stderr, "%s\n", ref.error.c_str());
  }
  for (const auto& entry : ref.cases) {
    const auto c = entry.as_object();
    const std::string label = label_of(c);
    const bool ohlcv = c.at("input").as_string() == "ohlcv";
    benchmark::RegisterBenchmark(
        ("vectors/" + label).c_str(), [c, label, ohlcv](benchmark::State& s) {
          by_name(s, label, ohlcv, [&] {
            return ta::create_indicator(std::string(c.at("indicator").as_string()), {},
                                        ta::testing::params_of(c), {.max_history = kHistory});
          });
        });
  }
  for (const char* name : kComposites) {
    for (const auto& entry : ref.cases) {
      const auto c = entry.as_object();
      if (c.at("indicator").as_string() != name) continue;
      const std::string label = longer_label(name);
      const bool ohlcv = c.at("input").as_string() == "ohlcv";
      benchmark::RegisterBenchmark(
          ("longer/" + label).c_str(), [c, name, label, ohlcv](benchmark::State& s) {
            by_name(s, label, ohlcv, [&] {
              return ta::create_indicator(name, {}, longer_periods(ta::testing::params_of(c)),
                                          {.max_history = kHistory});
            });
          });
      break;  // the first case of each
    }
  }
  struct Scaled {
    const char* name;
    bool ohlcv;
    std::vector<ta::NamedParam> (*params)(double);
  };
  const Scaled scaled[] = {
      {"SMA", false,
       [](double p) {
         return std::vector<ta::NamedParam>{{"period", p}};
       }},
      {"StdDev", false,
       [](double p) {
         return std::vector<ta::NamedParam>{{"period", p}};
       }},
      {"Stoch", true,
       [](double p) {
         return std::vector<ta::NamedParam>{{"period", p}, {"smoothing_period", 3.0}};
       }},
      {"CCI", true,
       [](double p) {
         return std::vector<ta::NamedParam>{{"period", p}};
       }},
  };
  for (const auto& s : scaled) {
    for (double period : {20.0, 200.0, 2000.0}) {
      const std::string label = fmt::format("{} period {}", s.name, period);
      benchmark::RegisterBenchmark(
          ("period/" + label).c_str(), [s, period, label](benchmark::State& st) {
            by_name(st, label, s.ohlcv, [&] {
              return ta::create_indicator(s.name, {}, s.params(period), {.max_history = kHistory});
            });
          });
    }
  }
  struct Whole {
    const char* name;
    const char* label;
    bool ohlcv;
    std::vector<ta::ParamValue> args;
  };
  const Whole whole[] = {{"SMA", "SMA(20) keeping the whole history", false, {20.0}},
                         {"ATR", "ATR(14) keeping the whole history", true, {14.0}},
                         {"Stoch", "Stoch(14,3) keeping the whole history", true, {14.0, 3.0}}};
  for (const auto& w : whole) {
    benchmark::RegisterBenchmark(
        (std::string("unbounded/") + w.label).c_str(), [w](benchmark::State& s) {
          by_name(s, w.label, w.ohlcv, [&] { return ta::create_indicator(w.name, w.args, {}); });
        });
  }
  benchmark::RegisterBenchmark("smart/SMA20_bars", [](benchmark::State& s) {
    smart_bars<features::indicators::SMA>(s, "smart SMA(20) fed Bars", std::nullopt);
  });
  benchmark::RegisterBenchmark("smart/SMA20_bars_MIN_5", [](benchmark::State& s) {
    smart_bars<features::indicators::SMA>(s, "smart SMA(20) fed Bars, resampled MIN_5",
                                          ta::SamplingPeriodType::MIN_5);
  });
  benchmark::RegisterBenchmark("smart/ATR20_bars_MIN_5", [](benchmark::State& s) {
    smart_bars<features::indicators::ATR>(s, "smart ATR(20) fed Bars, sampled MIN_5",
                                          ta::SamplingPeriodType::MIN_5);
  });
}

void print_table() {
  std::size_t w = 0;
  for (const auto& n : order()) w = std::max(w, n.size());
  const auto& r = results();
  const double sma = r.contains("SMA(20)") ? r.at("SMA(20)").ns_per_add : 0.0;
  std::printf("\n%-*s  %10s  %12s  %10s\n", static_cast<int>(w), "indicator (100,000 adds)",
              "ns/add", "x baseline", "x SMA(20)");
  for (const auto& n : order()) {
    const double ns = r.at(n).ns_per_add;
    std::printf("%-*s  %10.1f  %12.1f  %10.2f\n", static_cast<int>(w), n.c_str(), ns,
                g_baseline_ns > 0 ? ns / g_baseline_ns : 0.0, sma > 0 ? ns / sma : 0.0);
  }
  const auto ratio = [&](const char* a, const char* b) {
    if (!r.contains(a) || !r.contains(b)) return;
    std::printf("%s / %s = %.2f\n", b, a, r.at(b).ns_per_add / r.at(a).ns_per_add);
  };
  std::printf("\n");
  ratio("SMA period 20", "SMA period 200");
  ratio("StdDev period 20", "StdDev period 200");
  ratio("Stoch period 20", "Stoch period 200");
  ratio("CCI period 20", "CCI period 200");
  ratio("CCI period 20", "CCI period 2000");

  if (sma <= 0) return;
  std::printf("\n%-16s  %22s  %22s\n", "composite", "vectors' periods", "periods x10");
  std::printf("%-16s  %10s  %10s  %10s  %10s\n", "", "ns/add", "x SMA(20)", "ns/add", "x SMA(20)");
  for (const char* name : kComposites) {
    const auto found = std::find_if(order().begin(), order().end(), [&](const std::string& n) {
      return n.starts_with(std::string(name) + "(");
    });
    const std::string longer = longer_label(name);
    if (found == order().end() || !r.contains(longer)) continue;
    const double a = r.at(*found).ns_per_add;
    const double b = r.at(longer).ns_per_add;
    std::printf("%-16s  %10.1f  %10.2f  %10.1f  %10.2f\n", name, a, a / sma, b, b / sma);
  }
}

}  // namespace

int main(int argc, char** argv) {
  inputs();
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_table();
  return 0;
}
