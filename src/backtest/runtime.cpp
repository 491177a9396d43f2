#include "tolbu_sdk/backtest/runtime.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/object.hpp>

#include <exception>
#include <mutex>
#include <optional>

#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::backtest {

namespace asio = boost::asio;
namespace json = boost::json;
using Clock = std::chrono::steady_clock;

double ReplayProgress::seconds_left() const {
  const double rate = bars_per_second();
  return rate > 0 && total > done ? static_cast<double>(total - done) / rate : 0.0;
}

struct BacktestRuntime::State {
  State(const TolbuConfig& c, features::TolbuStream& s, ReplayRange r)
      : config(c), stream(s), range(std::move(r)) {}

  const TolbuConfig& config;
  features::TolbuStream& stream;
  ReplayRange range;
  bool started_replay = false;

  // An rpc to the sim on the stream's connection.
  asio::awaitable<json::value> call(std::string method, json::value data,
                                    std::chrono::milliseconds timeout) {
    auto client = stream.client();
    if (!client) throw RuntimeError("The backtest needs the stream connected first");
    co_return co_await client->rpc(std::move(method), std::move(data), timeout);
  }
  std::optional<asio::steady_timer> wake;
  std::function<void(const ReplayBar&)> on_bar;
  std::exception_ptr failure;  // from on_bar, rethrown by run()
  std::uint64_t markers = 0;
  bool finished = false;
  bool stop = false;

  std::atomic<std::size_t> done{0};
  std::atomic<std::size_t> total{0};
  mutable std::mutex started_mutex;
  std::optional<Clock::time_point> started;

  void on_marker(const json::value& payload) {
    ++markers;
    if (wake) wake->cancel();
    const auto* o = payload.if_object();
    if (!o) return;
    if (const auto* d = o->if_contains("done"); d && d->is_bool() && d->get_bool()) {
      finished = true;
      return;
    }
    ReplayBar bar;
    bar.index = static_cast<std::size_t>(o->at("bar").to_number<std::uint64_t>());
    bar.count = static_cast<std::size_t>(o->at("bars").to_number<std::uint64_t>());
    bar.time_ms = o->at("time").to_number<std::int64_t>();
    bar.close = o->at("close").to_number<double>();
    done.store(bar.index + 1, std::memory_order_relaxed);
    if (bar.index + 1 >= bar.count) finished = true;
    if (on_bar && !failure) {
      try {
        on_bar(bar);
      } catch (...) {
        failure = std::current_exception();
      }
    }
  }
};

BacktestRuntime::BacktestRuntime(const TolbuConfig& config, features::TolbuStream& stream,
                                 ReplayRange range)
    : state_(std::make_shared<State>(config, stream, std::move(range))) {}

BacktestRuntime::~BacktestRuntime() = default;

asio::awaitable<std::size_t> BacktestRuntime::start() {
  auto& s = *state_;
  if (s.range.symbol.empty()) throw ValueError("A backtest needs a symbol");
  if (s.range.resolution <= 0) throw ValueError("A backtest needs a positive resolution");
  if (s.range.to_ms <= s.range.from_ms) throw ValueError("A backtest needs from < to");
  // Named arguments: g++ 12 mishandles literals and braced temporaries inside co_await.
  json::value request{{"symbol", s.range.symbol},
                      {"resolution", s.range.resolution},
                      {"from", s.range.from_ms},
                      {"to", s.range.to_ms}};
  if (!s.range.more_symbols.empty()) {
    json::array symbols{json::string(s.range.symbol)};
    for (const auto& symbol : s.range.more_symbols) symbols.emplace_back(symbol);
    request.as_object()["symbols"] = std::move(symbols);
  }
  if (s.range.capital) request.as_object()["capital"] = *s.range.capital;
  std::string method = "replay.start";
  const json::value answer = co_await s.call(std::move(method), std::move(request), step_timeout);
  const auto* bars = answer.is_object() ? answer.get_object().if_contains("bars") : nullptr;
  if (!bars || !bars->is_number()) throw RuntimeError("replay.start answered without a bar count");
  s.total = bars->to_number<std::size_t>();
  s.done = 0;
  s.started_replay = true;
  logging::get_logger("tolbu_sdk.backtest")
      .info("Replay of {} ({} s bars): {} bars", s.range.symbol, s.range.resolution,
            s.total.load());
  co_return s.total.load();
}

asio::awaitable<void> BacktestRuntime::run(
    platform::detail::CoAwaitSafe<std::function<void(const ReplayBar&)>> on_bar) {
  auto state = state_;  // the callback below may outlive this object
  auto& s = *state;
  if (!s.started_replay) throw RuntimeError("BacktestRuntime::run() before start()");
  s.on_bar = static_cast<std::function<void(const ReplayBar&)>&&>(on_bar);
  s.wake.emplace(co_await asio::this_coro::executor);
  features::PublicationCallback on_marker =
      [weak = std::weak_ptr<State>(state)](const json::value& payload) {
        if (auto st = weak.lock()) st->on_marker(payload);
      };
  std::string channel = MARKER_CHANNEL;
  auto marker = co_await s.stream.subscribe(std::move(channel), on_marker);
  {
    std::lock_guard lock(s.started_mutex);
    s.started = Clock::now();
  }
  std::exception_ptr failure;
  const json::value nothing = json::object();
  try {
    while (!s.finished && !s.stop && !s.failure) {
      if (before_step) co_await before_step();
      const std::uint64_t expected = s.markers + 1;
      std::string method = "replay.next";
      co_await s.call(std::move(method), nothing, step_timeout);
      const auto deadline = Clock::now() + step_timeout;
      s.wake->expires_at(deadline);
      while (s.markers < expected) {
        co_await s.wake->async_wait(asio::as_tuple(asio::use_awaitable));
        if (s.markers < expected && Clock::now() >= deadline)
          throw RuntimeError("No replay step within the step timeout: is the stream connected?");
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    co_await s.stream.unsubscribe(marker);
  } catch (const std::exception&) {
  }
  if (failure) std::rethrow_exception(failure);
  if (s.failure) std::rethrow_exception(s.failure);
}

void BacktestRuntime::request_stop() { state_->stop = true; }

ReplayProgress BacktestRuntime::progress() const {
  ReplayProgress out;
  out.done = state_->done.load(std::memory_order_relaxed);
  out.total = state_->total.load(std::memory_order_relaxed);
  std::lock_guard lock(state_->started_mutex);
  if (state_->started)
    out.seconds = std::chrono::duration<double>(Clock::now() - *state_->started).count();
  return out;
}

}  // namespace tolbu_sdk::backtest
