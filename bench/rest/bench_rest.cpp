// REST round trips against tolbu-sim on loopback, each next to a baseline of the same run:
// get_product_master over one kept-alive connection against a raw socket sending the same
// bytes on one kept-alive connection (and against a fresh connection per call); 100 orders in
// flight at once on one loop against the same 100 awaited one after another; fetch_candles on
// a 10,000-candle answer against the bare HTTP exchange of the same answer; the exact JSON
// parse against Boost's own. Wall-clock time (the sim is another process); the program ends
// with the ratios.

#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/json.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
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

// The same request bytes the client sends, written and read on one kept-alive socket with no
// client machinery at all: the floor a client can approach.
void Baseline_ProductMaster_RawSocket(benchmark::State& state) {
  const auto& s = setup();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(s.sim.port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("connect failed");
    ::close(fd);
    return;
  }
  std::string request =
      "GET /api/v1/MarketData/GetProductMaster/VN30F2412 HTTP/1.1\r\nHost: "
      "127.0.0.1:" +
      std::to_string(s.sim.port()) +
      "\r\nContent-Type: application/json\r\nAuthorization: Bearer " + s.sim.jwt() + "\r\n\r\n";
  std::string buffer;
  char chunk[16384];
  for (auto _ : state) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    buffer.clear();
    std::size_t head_end = std::string::npos, total = 0;
    for (;;) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) {
        state.SkipWithError("connection lost");
        break;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
      if (head_end == std::string::npos &&
          (head_end = buffer.find("\r\n\r\n")) != std::string::npos) {
        auto at = buffer.find("Content-Length: ");
        total = head_end + 4 + std::stoul(buffer.substr(at + 16));
      }
      if (head_end != std::string::npos && buffer.size() >= total) break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Baseline_ProductMaster_RawSocket)->UseRealTime();

// 100 resting limit orders per iteration on one loop: all in flight at once, or each awaited
// before the next is placed. The sim forgets its orders between iterations.
void place_100(benchmark::State& state, bool together) {
  // Room for all 100 connections in the pool, so that both forms run on warm connections.
  tolbu_sdk::features::OrderService orders(setup().config, {.max_idle_connections = 128});
  for (auto _ : state) {
    state.PauseTiming();
    setup().sim.post("/_sim/reset", "{}");
    state.ResumeTiming();
    boost::asio::io_context loop;
    int accepted = 0;
    auto one = [&]() -> boost::asio::awaitable<void> {
      auto answer = co_await orders.async_place_order("HPG", "B", 1000, 100);
      if (answer.success) ++accepted;
    };
    if (together) {
      for (int i = 0; i < 100; ++i) boost::asio::co_spawn(loop, one(), boost::asio::detached);
    } else {
      boost::asio::co_spawn(
          loop,
          [&]() -> boost::asio::awaitable<void> {
            for (int i = 0; i < 100; ++i) co_await one();
          },
          boost::asio::detached);
    }
    loop.run();
    if (accepted != 100) state.SkipWithError("an order was refused");
  }
  state.SetItemsProcessed(state.iterations() * 100);
}

void Rest_100OrdersInFlightOnOneLoop(benchmark::State& state) { place_100(state, true); }
BENCHMARK(Rest_100OrdersInFlightOnOneLoop)->UseRealTime();

void Baseline_100OrdersOneAfterAnother(benchmark::State& state) { place_100(state, false); }
BENCHMARK(Baseline_100OrdersOneAfterAnother)->UseRealTime();

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
    boost::system::error_code ec;
    json::value value = tolbu_sdk::platform::parse_json(body, ec, &arena);
    std::vector<tolbu_sdk::types::Candle> candles;
    candles.reserve(value.as_array().size());
    for (const auto& item : value.as_array())
      candles.push_back(tolbu_sdk::types::Candle::from_dict(item));
    benchmark::DoNotOptimize(candles.data());
  }
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Decode_10000Candles)->UseRealTime();

// The JSON parse alone with the default allocator: the SDK's exact parse against Boost's.
void Parse_Exact_10000Candles(benchmark::State& state) {
  const std::string& body = setup().candle_body;
  for (auto _ : state) {
    boost::system::error_code ec;
    benchmark::DoNotOptimize(tolbu_sdk::platform::parse_json(body, ec));
  }
  state.SetItemsProcessed(state.iterations() * kCandles);
}
BENCHMARK(Parse_Exact_10000Candles)->UseRealTime();

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
           fresh = rate("Baseline_ProductMaster_FreshConnection", 1),
           raw = rate("Baseline_ProductMaster_RawSocket", 1);
    double together = rate("Rest_100OrdersInFlightOnOneLoop", 100),
           sequential = rate("Baseline_100OrdersOneAfterAnother", 100);
    double exact = rate("Parse_Exact_10000Candles", kCandles);
    double parse = rate("Baseline_Parse10000Candles", kCandles);
    double fetch = rate("Rest_FetchCandles_10000", kCandles),
           get = rate("Baseline_Get_10000CandleAnswer", kCandles);
    double decode = rate("Decode_10000Candles", kCandles);
    std::printf("\nWall-clock rates and ratios against the baseline of the same run:\n");
    if (keep > 0 && fresh > 0)
      std::printf(
          "  get_product_master round trips/s: keep-alive %.0f, fresh connection %.0f, ratio "
          "%.2f\n",
          keep, fresh, keep / fresh);
    if (keep > 0 && raw > 0)
      std::printf(
          "  get_product_master round trips/s: client %.0f, raw socket with the same bytes %.0f "
          "(the client takes %.2fx its time)\n",
          keep, raw, raw / keep);
    if (together > 0 && sequential > 0)
      std::printf(
          "  orders/s on one loop: 100 in flight at once %.0f, one after another %.0f, ratio "
          "%.2f\n",
          together, sequential, together / sequential);
    if (exact > 0 && parse > 0)
      std::printf(
          "  JSON parse of 10,000 candles: exact %.0f candles/s, Boost's own %.0f (exact takes "
          "%.2fx its time)\n",
          exact, parse, parse / exact);
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
