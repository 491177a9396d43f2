// Streaming: publications from tolbu-sim over loopback into a typed candle callback, and
// publish-to-callback latency at 10,000 publications per second. The baseline is the
// official JavaScript client (npm "centrifuge" on "ws") against the same simulator in the
// same run; "x_js" is our rate over its rate.
//
// The sim's series candles carry their publish time (microseconds since the epoch) in
// "volume", so the callback can tell how long the publication took to reach it.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "sim_process.hpp"
#include "tolbu_sdk/features/streaming.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tolbu_sdk::features::TolbuStream;
using tolbu_sdk::types::Candle;

constexpr std::uint64_t kThroughputCount = 200000;
constexpr std::uint64_t kLatencyCount = 20000;
constexpr double kLatencyRate = 10000;

tolbu_test::SimProcess& sim() {
  static tolbu_test::SimProcess process({"--speed", "0"});
  return process;
}

std::int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Figures {
  double per_second = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
};

double quantile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * double(v.size())))];
}

// One series into a TolbuStream's typed candle callback.
std::optional<Figures> run_ours(const std::string& channel_symbol, std::uint64_t count,
                                double rate) {
  asio::io_context io(1);
  tolbu_sdk::TolbuConfig config;
  config.streaming_ws = sim().ws_url();
  config.jwt_token = sim().jwt();
  std::vector<double> latencies;
  latencies.reserve(count);
  std::uint64_t received = 0;
  Clock::time_point started, finished;
  bool ok = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        TolbuStream stream(config);
        bool up = false;
        co_await stream.connect([&] { up = true; });
        co_await stream.subscribe_candles(channel_symbol, 60, [&](const Candle& c) {
          latencies.push_back(double(now_us()) - c.volume);
          if (++received == count) {
            finished = Clock::now();
            io.stop();
          }
        });
        asio::steady_timer t(io);
        for (int i = 0; i < 500 && !up; ++i) {
          t.expires_after(10ms);
          co_await t.async_wait(asio::use_awaitable);
        }
        // Subscribed once the sim lists us.
        const std::string channel = "market:OHLCV:" + channel_symbol + ":60";
        for (int i = 0; i < 500; ++i) {
          auto stats = json::parse(sim().get("/_sim/streaming/stats").body);
          if (stats.at("subscribers").as_object().contains(channel)) break;
          t.expires_after(5ms);
          co_await t.async_wait(asio::use_awaitable);
        }
        started = Clock::now();
        auto reply = sim().post(
            "/_sim/streaming/series",
            json::serialize(json::object{{"channel", channel}, {"count", count}, {"rate", rate}}));
        ok = reply.status == 200;
        if (!ok) io.stop();
        asio::steady_timer hold(io);
        hold.expires_after(120s);  // the stream stays alive until the series is in
        boost::system::error_code ec;
        co_await hold.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      },
      asio::detached);
  io.run_for(150s);
  if (!ok || received != count) return std::nullopt;
  Figures f;
  f.per_second = double(count) / std::chrono::duration<double>(finished - started).count();
  f.p50_us = quantile(latencies, 0.5);
  f.p99_us = quantile(latencies, 0.99);
  f.max_us = latencies.back();
  return f;
}

// The same series into the official JavaScript client.
std::optional<Figures> run_js(const std::string& channel, std::uint64_t count, double rate,
                              std::string& error) {
  const char* npm = std::getenv("TOLBU_NPM_DIR");
  const char* home = std::getenv("HOME");
  const fs::path modules = npm && *npm
                               ? fs::path(npm) / "node_modules"
                               : fs::path(home ? home : "/") / ".cache/tolbu-sdk/npm/node_modules";
  if (!fs::exists(modules / "centrifuge/package.json") ||
      !fs::exists(modules / "ws/package.json")) {
    error = "npm packages centrifuge and ws missing in " + modules.string();
    return std::nullopt;
  }
  std::ostringstream cmd;
  cmd << "NODE_PATH='" << modules.string() << "' node '" << TOLBU_BENCH_PEER << "' " << sim().port()
      << " '" << sim().jwt() << "' '" << channel << "' " << count << " " << rate << " 2>&1";
  FILE* pipe = ::popen(cmd.str().c_str(), "r");
  if (!pipe) {
    error = "cannot run node";
    return std::nullopt;
  }
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status != 0) {
    error = "node failed: " + out;
    return std::nullopt;
  }
  auto v = json::parse(out).as_object();
  Figures f;
  f.per_second = double(count) / (v.at("elapsed_ms").to_number<double>() / 1000.0);
  f.p50_us = v.at("p50_us").to_number<double>();
  f.p99_us = v.at("p99_us").to_number<double>();
  f.max_us = v.at("max_us").to_number<double>();
  return f;
}

double median(std::vector<double> v) { return quantile(v, 0.5); }

// Each iteration runs the JavaScript client, then ours, on the same series: the machine's
// load shifts both alike. Time is ours; the counters pair both.
void BM_CandleThroughput(benchmark::State& state) {
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    std::string error;
    auto js = run_js("market:OHLCV:JSB:60", kThroughputCount, 0, error);
    if (!js) {
      state.SkipWithError(error.c_str());
      return;
    }
    auto f = run_ours("OURS", kThroughputCount, 0);
    if (!f) {
      state.SkipWithError("the series did not arrive");
      return;
    }
    theirs.push_back(js->per_second);
    ours.push_back(f->per_second);
    state.SetIterationTime(double(kThroughputCount) / f->per_second);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kThroughputCount));
  state.counters["pubs_per_s"] = median(ours);
  state.counters["js_pubs_per_s"] = median(theirs);
  state.counters["x_js"] = median(ours) / median(theirs);
}

void BM_Latency10k(benchmark::State& state) {
  Figures js, f;
  for (auto _ : state) {
    std::string error;
    auto a = run_js("market:OHLCV:JSL:60", kLatencyCount, kLatencyRate, error);
    if (!a) {
      state.SkipWithError(error.c_str());
      return;
    }
    auto b = run_ours("LAT", kLatencyCount, kLatencyRate);
    if (!b) {
      state.SkipWithError("the series did not arrive");
      return;
    }
    js = *a;
    f = *b;
    state.SetIterationTime(double(kLatencyCount) / f.per_second);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kLatencyCount));
  state.counters["p50_us"] = f.p50_us;
  state.counters["p99_us"] = f.p99_us;
  state.counters["max_us"] = f.max_us;
  state.counters["js_p50_us"] = js.p50_us;
  state.counters["js_p99_us"] = js.p99_us;
  state.counters["x_js_p99"] = js.p99_us / std::max(1.0, f.p99_us);
}

BENCHMARK(BM_CandleThroughput)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Latency10k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
