// Lines per second into the rotating main file (console off, one thread) and the cost of a
// disabled DEBUG call. Each figure comes with a baseline measured in the same run:
//   vs_write: CPU time per logged line / per raw write(2) of the same finished line
//   vs_load:  CPU time per disabled call / per relaxed atomic load and compare
// Rates (items_per_second) are on CPU time too, Google Benchmark's default.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "tolbu_sdk/utils/journal.hpp"

namespace fs = std::filesystem;
namespace logging = tolbu_sdk::logging;
namespace utils = tolbu_sdk::utils;

// The machine is shared: the ratios are taken on this thread's CPU time (user and kernel),
// which other processes do not inflate.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec));
  }
};

namespace {

const fs::path& bench_dir() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "tolbu-bench-log-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] { fs::remove_all(bench_dir()); });
    return fs::path(pattern);
  }();
  return dir;
}

// The default set-up with the console off, files in a scratch folder.
void setup_once() {
  static const bool done = [] {
    utils::setup_logging("INFO", (bench_dir() / "main.log").string(),
                         (bench_dir() / "warn.log").string(), (bench_dir() / "stream.log").string(),
                         false);
    return true;
  }();
  (void)done;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The same line as the facility writes, already formatted, straight to a file with write(2).
double raw_write_seconds_per_line(std::int64_t lines) {
  const std::string path = (bench_dir() / "raw.log").string();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0644);
  const std::string line =
      "2024-05-17 09:30:05.042 | INFO     | tolbu_sdk.strategy.bench | Order 123456 filled at "
      "150.25\n";
  const auto start = Clock::now();
  for (std::int64_t i = 0; i < lines; ++i)
    if (::write(fd, line.data(), line.size()) < 0) std::abort();
  const double s = seconds(Clock::now() - start);
  ::close(fd);
  fs::remove(path);
  return s / static_cast<double>(lines);
}

void BM_MainFileLines(benchmark::State& state) {
  setup_once();
  logging::Logger& log = utils::get_logger("strategy.bench");
  std::int64_t i = 0;
  const auto start = Clock::now();
  for (auto _ : state) log.info("Order {} filled at {}", 123456 + (i++ & 7), 150.25);
  const double per_line = seconds(Clock::now() - start) / static_cast<double>(i);
  state.SetItemsProcessed(i);
  state.counters["vs_write"] = per_line / raw_write_seconds_per_line(i);
}
BENCHMARK(BM_MainFileLines)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_RawWriteBaseline(benchmark::State& state) {
  std::int64_t n = 0;
  double total = 0;
  for (auto _ : state) {
    total += raw_write_seconds_per_line(1000);
    n += 1000;
  }
  state.SetItemsProcessed(n);
  state.counters["ns_per_line"] = total / static_cast<double>(state.iterations()) * 1e9;
}
BENCHMARK(BM_RawWriteBaseline)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);

std::atomic<int> baseline_level{logging::INFO};

// The least a disabled check can cost: one relaxed load and a compare per call.
double load_seconds_per_call(std::int64_t calls) {
  std::int64_t taken = 0;
  const auto start = Clock::now();
  for (std::int64_t i = 0; i < calls; ++i) {
    if (logging::DEBUG >= baseline_level.load(std::memory_order_relaxed)) ++taken;
    benchmark::ClobberMemory();
  }
  const double s = seconds(Clock::now() - start);
  benchmark::DoNotOptimize(taken);
  return s / static_cast<double>(calls);
}

void BM_DisabledDebug(benchmark::State& state) {
  setup_once();
  logging::Logger& log = utils::get_logger("strategy.bench");
  std::int64_t i = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    log.debug("Tick {} at {}", i++, 150.25);
    benchmark::ClobberMemory();
  }
  const double per_call = seconds(Clock::now() - start) / static_cast<double>(i);
  state.counters["ns_per_call"] = per_call * 1e9;
  state.counters["vs_load"] = per_call / load_seconds_per_call(i);
}
BENCHMARK(BM_DisabledDebug)->Repetitions(3)->ReportAggregatesOnly(true);

// The strategy logger's bar line is DEBUG too; its check sits behind a library call.
void BM_DisabledStrategyBar(benchmark::State& state) {
  setup_once();
  static utils::StrategyLogger log("bench");
  std::int64_t i = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    log.bar("VN30F2406", 1250.5, 1251.0, 1249.5, 1250.0, static_cast<double>(i++));
    benchmark::ClobberMemory();
  }
  const double per_call = seconds(Clock::now() - start) / static_cast<double>(i);
  state.counters["ns_per_call"] = per_call * 1e9;
  state.counters["vs_load"] = per_call / load_seconds_per_call(i);
}
BENCHMARK(BM_DisabledStrategyBar)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
