// Requests per second on "/status" from a sequential loopback client: the control server
// against a baseline measured in the same loop, a raw-socket server that reads the request head
// and answers a fixed response, so that the ratio shows what the HTTP stack and the handler
// cost on top of one TCP connection per request.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "tolbu_sdk/control.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kRequest = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

class StatusApp : public tolbu_sdk::Application {
 public:
  boost::json::value get_status() override { return "RUNNING"; }
  double get_progress() override { return 0; }
  boost::json::value get_algo_stat_report() override { return nullptr; }
  boost::json::array get_logs(std::int64_t) override { return {}; }
  boost::json::array get_orders(const std::optional<std::string>&,
                                const std::optional<std::string>&) override {
    return {};
  }
  boost::json::array get_trades(const std::optional<std::string>&) override { return {}; }
  boost::asio::awaitable<void> stop() override { co_return; }
};

int listen_loopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 5);
  return fd;
}

int port_of(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

// One connection at a time: read up to the end of the head, answer, close.
class RawServer {
 public:
  RawServer() : fd_(listen_loopback()), port(port_of(fd_)) {
    thread_ = std::thread([this] {
      static constexpr std::string_view kAnswer =
          "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"status\": \"RUNNING\"}";
      for (;;) {
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        std::string head;
        char buffer[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
          const auto n = ::recv(client, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          head.append(buffer, static_cast<std::size_t>(n));
        }
        ::send(client, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
        ::shutdown(client, SHUT_WR);
        ::close(client);
      }
    });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept
    thread_.join();
    ::close(fd_);
  }

 private:
  int fd_;
  std::thread thread_;

 public:
  const int port;
};

// One request on a fresh connection; false when no answer ended in a close.
bool fetch(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) == ssize_t(kRequest.size());
  std::size_t total = 0;
  char buffer[1024];
  for (ssize_t n = 1; ok && n > 0;) {
    n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0)
      ok = false;
    else
      total += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok && total > 0;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the whole process: the client and whichever server it is talking to.
double process_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Each iteration is a batch of control requests and a batch of baseline requests, timed apart
// and in alternating order, so that the shared machine's noise falls on both alike. (Switching
// servers at every request would measure thread wake-ups more than either server.) Wall time
// gives the requests per second; the process's CPU time per request is steadier on a loaded
// machine.
constexpr int kBatch = 50;

void BM_StatusRequests(benchmark::State& state) {
  StatusApp app;
  tolbu_sdk::APIServer::Options options;
  options.host = "127.0.0.1";
  tolbu_sdk::APIServer server(app, 0, options);
  server.start();
  if (!server.wait_until_listening(std::chrono::seconds(5))) {
    state.SkipWithError("control server did not start");
    return;
  }
  RawServer raw;
  Clock::duration control{}, baseline{};
  double control_cpu = 0, baseline_cpu = 0;
  const auto batch = [](int port, Clock::duration& wall, double& cpu) {
    const double c0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    bool ok = true;
    for (int i = 0; i < kBatch && ok; ++i) ok = fetch(port);
    const auto t1 = Clock::now();
    cpu += process_cpu_seconds() - c0;
    wall += t1 - t0;
    return ok ? std::optional(t1 - t0) : std::nullopt;
  };
  bool control_first = true;
  for (auto _ : state) {
    std::optional<Clock::duration> own, other;
    if (!control_first) other = batch(raw.port, baseline, baseline_cpu);
    own = batch(server.port(), control, control_cpu);
    if (control_first) other = batch(raw.port, baseline, baseline_cpu);
    control_first = !control_first;
    if (!own || !other) {
      state.SkipWithError("a request failed");
      break;
    }
    state.SetIterationTime(seconds(*own));
  }
  const auto n = static_cast<double>(state.iterations()) * kBatch;
  state.counters["control_rps"] = n / seconds(control);
  state.counters["baseline_rps"] = n / seconds(baseline);
  state.counters["vs_baseline"] = seconds(baseline) / seconds(control);
  state.counters["cpu_us_control"] = control_cpu / n * 1e6;
  state.counters["cpu_us_baseline"] = baseline_cpu / n * 1e6;
  state.counters["cpu_vs_baseline"] = control_cpu / baseline_cpu;
}
BENCHMARK(BM_StatusRequests)->UseManualTime()->MinTime(2.0)->Repetitions(3);

// The handler alone, without the network: what one "/status" answer costs in CPU.
void BM_StatusHandler(benchmark::State& state) {
  StatusApp app;
  for (auto _ : state) {
    tolbu_sdk::APIHandler handler(app, "/status");
    benchmark::DoNotOptimize(handler.handle("GET"));
  }
}
BENCHMARK(BM_StatusHandler);

}  // namespace

BENCHMARK_MAIN();
