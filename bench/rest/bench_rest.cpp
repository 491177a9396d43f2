// REST round trips against tolbu-sim on loopback, each next to a baseline of the same run:
// get_product_master over one kept-alive connection against a fresh connection per call, and
// fetch_candles on a 10,000-candle answer against the bare HTTP exchange of the same answer.
// Wall-clock time (the sim is another process); the program ends with the ratios.

#include "sim_process.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>

#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace {

namespace json = boost::json;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::features::MarketDataService;

constexpr std::int64_t kStart = 1733011200000;
constexpr int kCandles = 10'000;

struct Setup {
  tolbu_test::SimProcess sim{
      {"--speed", "0", "--start-ms", std::to_string(kStart), "--journal-limit", "0"}};
  TolbuConfig config =
      TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), sim.jwt());
  std::string candle_path = "/GetOhlcvHis/HPG/60/" +
                            std::to_string(kStart - (kCandles - 1) * 60'000LL) + "/" +
                            std::to_string(kStart);
  std::string candle_body;

  Setup() {
    // The answer is generated once and then served as it is, so that the runs measure the
    // client's exchange and decoding rather than the sim's price path.
    candle_body = sim.get(candle_path).body;
    json::object fault{
        {"count", 1'000'000}, {"status", 200}, {"body", candle_body}, {"path_prefix", candle_path}};
    if (sim.post("/_sim/faults", json::serialize(fault)).status != 200)
      throw std::runtime_error("tolbu-sim refused the canned candle answer");
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

void Rest_ProductMaster_KeepAlive(benchmark::State& state) {
  MarketDataService service(setup().config);
  for (auto _ : state) benchmark::DoNotOptimize(service.get_product_master("VN30F2412"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Rest_ProductMaster_KeepAlive)->UseRealTime();

void Baseline_ProductMaster_FreshConnection(benchmark::State& state) {
  MarketDataService service(setup().config, {.reuse_connections = false});
  for (auto _ : state) benchmark::DoNotOptimize(service.get_product_master("VN30F2412"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Baseline_ProductMaster_FreshConnection)->UseRealTime();

void Rest_FetchCandles_10000(benchmark::State& state) {
  MarketDataService service(setup().config);
  std::int64_t from = kStart - (kCandles - 1) * 60'000LL;
  for (auto _ : state) {
    auto candles = service.fetch_candles("HPG", 60, from, kStart);
    if (candles.size() != kCandles) state.SkipWithError("unexpected candle count");
    benchmark::DoNotOptimize(candles.data());
  }
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Rest_FetchCandles_10000)->UseRealTime();

void Baseline_Get_10000CandleAnswer(benchmark::State& state) {
  tolbu_sdk::platform::http::Client client;
  std::string url = setup().sim.base_url() + setup().candle_path;
  for (auto _ : state) benchmark::DoNotOptimize(client.get(url).text.size());
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Baseline_Get_10000CandleAnswer)->UseRealTime();

// The decoding alone, in process, as fetch_candles does it: parse and build the records.
void Decode_10000Candles(benchmark::State& state) {
  const std::string& body = setup().candle_body;
  for (auto _ : state) {
    json::monotonic_resource arena;
    json::value value = json::parse(body, &arena);
    std::vector<tolbu_sdk::types::Candle> candles;
    candles.reserve(value.as_array().size());
    for (const auto& item : value.as_array())
      candles.push_back(tolbu_sdk::types::Candle::from_dict(item));
    benchmark::DoNotOptimize(candles.data());
  }
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Decode_10000Candles)->UseRealTime();

// The JSON parse alone with the default allocator.
void Baseline_Parse10000Candles(benchmark::State& state) {
  const std::string& body = setup().candle_body;
  for (auto _ : state) benchmark::DoNotOptimize(json::parse(body));
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Baseline_Parse10000Candles)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const std::string name = r.run_name.function_name;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        times_[name] = r.GetAdjustedRealTime();
        medians_.insert(name);
      } else if (r.run_type == Run::RT_Iteration && !medians_.count(name)) {
        times_[name] = r.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto rate = [&](const std::string& name, double items) {
      auto it = times_.find(name);
      return it == times_.end() || it->second <= 0 ? 0.0 : items * 1e9 / it->second;
    };
    double keep = rate("Rest_ProductMaster_KeepAlive", 1),
           fresh = rate("Baseline_ProductMaster_FreshConnection", 1);
    double fetch = rate("Rest_FetchCandles_10000", kCandles),
           get = rate("Baseline_Get_10000CandleAnswer", kCandles);
    double decode = rate("Decode_10000Candles", kCandles);
    double parse = rate("Baseline_Parse10000Candles", kCandles);
    std::printf("\nWall-clock rates and ratios against the baseline of the same run:\n");
    if (keep > 0 && fresh > 0)
      std::printf(
          "  get_product_master round trips/s: keep-alive %.0f, fresh connection %.0f, ratio "
          "%.2f\n",
          keep, fresh, keep / fresh);
    if (fetch > 0 && get > 0)
      std::printf(
          "  fetch_candles candles/s on a 10,000-candle answer: %.0f; bare HTTP exchange %.0f "
          "(fetch takes %.2fx its time); decoding alone %.0f\n",
          fetch, get, get / fetch, decode);
    if (decode > 0 && parse > 0)
      std::printf(
          "  decoding 10,000 candles: %.0f candles/s; JSON parse alone %.0f (decoding takes "
          "%.2fx its time)\n",
          decode, parse, parse / decode);
  }

 private:
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  setup();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
