// Streaming: publications from tolbu-sim over loopback into a typed candle callback, and
// publish-to-callback latency at 10,000 publications per second. The baseline is the
// official JavaScript client (npm "centrifuge" on "ws") against the same simulator in the
// same run; "x_js" is our rate over its rate. Recovery: the time from a reconnect to the last
// of 1,000 publications missed while away, against 1,000 live ones on the same stream.
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
#include <thread>

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

// Seconds from the reconnect to the last of `count` publications missed while disconnected,
// and from a live series' start to its last publication, on the same stream.
struct RecoveryFigures {
  double recovered_s = 0;
  double live_s = 0;
};

std::optional<RecoveryFigures> run_recovery(const std::string& symbol, std::uint64_t count) {
  asio::io_context io(1);
  tolbu_sdk::TolbuConfig config;
  config.streaming_ws = sim().ws_url();
  config.jwt_token = sim().jwt();
  const std::string channel = "market:OHLCV:" + symbol + ":60";
  const auto series = json::serialize(json::object{{"channel", channel}, {"count", count}});
  std::uint64_t received = 0, target = 0;
  int connects = 0;
  Clock::time_point mark, done;
  RecoveryFigures f;
  bool ok = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        TolbuStream stream(config);
        asio::steady_timer t(io);
        auto wait = [&](auto pred) -> asio::awaitable<bool> {
          for (int i = 0; i < 3000 && !pred(); ++i) {
            t.expires_after(5ms);
            co_await t.async_wait(asio::use_awaitable);
          }
          co_return pred();
        };
        co_await stream.connect(
            [&] {
              if (++connects > 1) mark = Clock::now();
            },
            [&] {
              // Published while we are away; the series is in long before the reconnect.
              sim().post("/_sim/streaming/series", series);
              std::this_thread::sleep_for(50ms);
            });
        co_await stream.subscribe_candles(symbol, 60, [&](const Candle&) {
          if (++received == target) done = Clock::now();
        });
        for (;;) {
          auto stats = json::parse(sim().get("/_sim/streaming/stats").body);
          if (stats.at("subscribers").as_object().contains(channel)) break;
          co_await wait([] { return false; });
        }
        target = count;
        mark = Clock::now();
        sim().post("/_sim/streaming/series", series);
        if (co_await wait([&] { return received == target; })) {
          f.live_s = std::chrono::duration<double>(done - mark).count();
          target = 2 * count;
          sim().post("/_sim/streaming/drop", R"({"code":3001,"reason":"shutdown"})");
          if (co_await wait([&] { return received == target; })) {
            f.recovered_s = std::chrono::duration<double>(done - mark).count();
            ok = connects == 2;
          }
        }
        co_await stream.disconnect();
        io.stop();
      },
      asio::detached);
  io.run_for(60s);
  if (!ok) return std::nullopt;
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

// The reconnect itself is not timed: the clock starts when the client is connected again.
void BM_Recovery1000(benchmark::State& state) {
  std::vector<double> recovered, live;
  for (auto _ : state) {
    auto f = run_recovery("REC" + std::to_string(recovered.size()), 1000);
    if (!f) {
      state.SkipWithError("the recovered publications did not arrive");
      return;
    }
    recovered.push_back(f->recovered_s);
    live.push_back(f->live_s);
    state.SetIterationTime(f->recovered_s);
  }
  state.counters["recovered_ms"] = median(recovered) * 1e3;
  state.counters["live_ms"] = median(live) * 1e3;
  state.counters["x_live"] = median(recovered) / median(live);
}

BENCHMARK(BM_CandleThroughput)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Latency10k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recovery1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
