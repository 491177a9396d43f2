#pragma once
// Test peers of the control server: a plain-socket HTTP client, an application object that
// records its calls, and a capture of the "tolbu_sdk.control" log.

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "../support/log_capture.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace control_test {

using namespace std::chrono_literals;
namespace json = boost::json;

class Connection {
 public:
  explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Connection() { ::close(fd_); }
  bool connected() const { return connected_; }
  bool send(std::string_view data) {
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
  }
  bool readable(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
  }
  // Everything until the peer closes; empty when it does not close within the timeout.
  std::string read_to_end(std::chrono::milliseconds timeout = 5000ms) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!readable(10ms)) continue;
      char buffer[4096];
      const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return data;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    return {};
  }

 private:
  int fd_;
  bool connected_ = false;
};

struct Reply {
  std::string head, body;
  int status = 0;  // 0: no complete answer
  // The value of a header line, or "" when absent.
  std::string header(std::string_view name) const {
    const auto at = head.find("\r\n" + std::string(name) + ": ");
    if (at == std::string::npos) return "";
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

inline Reply parse_reply(const std::string& raw) {
  Reply reply;
  const auto end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.size() < 12) return reply;
  reply.head = raw.substr(0, end + 2);
  reply.body = raw.substr(end + 4);
  reply.status = std::stoi(raw.substr(9, 3));
  return reply;
}

inline Reply round_trip(int port, std::string_view text) {
  Connection connection(port);
  return connection.send(text) ? parse_reply(connection.read_to_end()) : Reply{};
}

inline Reply request(int port, std::string_view method, std::string_view target,
                     std::string_view body = {}) {
  std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: x\r\n";
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return round_trip(port, text + "\r\n" + std::string(body));
}
inline Reply get(int port, std::string_view target) { return request(port, "GET", target); }
inline Reply post(int port, std::string_view target) { return request(port, "POST", target); }

// Records its calls and answers what the test sets, under one lock: the server calls it from
// its own thread.
class TestApp : public tolbu_sdk::Application {
 public:
  using Filter = std::optional<std::string>;

  template <typename F>
  auto locked(F&& f) {
    std::lock_guard lock(mutex);
    return f();
  }

  json::value get_status() override {
    return locked([&] { return on_status(), status; });
  }
  double get_progress() override {
    return locked([&] { return progress; });
  }
  json::value get_algo_stat_report() override {
    return locked([&] { return report; });
  }
  json::array get_logs(std::int64_t limit) override {
    return locked([&] {
      limits.push_back(limit);
      json::array logs;
      for (std::int64_t i = 0; i < std::min<std::int64_t>(limit, 3); ++i)
        logs.emplace_back("line " + std::to_string(i));
      return logs;
    });
  }
  json::array get_orders(const Filter& account_id, const Filter& symbol) override {
    return locked([&] { return filters.push_back({account_id, symbol}), orders; });
  }
  json::array get_trades(const Filter& account_id) override {
    return locked([&] { return filters.push_back({account_id, "trades"}), json::array{1, 2}; });
  }
  boost::asio::awaitable<void> stop() override {
    locked([&] { stop_thread = std::this_thread::get_id(); });
    stopped.set();
    if (locked([&] { return stop_throws; })) throw std::runtime_error("cannot stop");
    co_return;
  }

  std::mutex mutex;
  json::value status = "RUNNING";
  double progress = 45.5;
  json::value report = nullptr;
  json::array orders;
  std::function<void()> on_status = [] {};
  bool stop_throws = false;
  std::vector<std::int64_t> limits;
  std::vector<std::pair<Filter, Filter>> filters;
  std::optional<std::thread::id> stop_thread;
  StopEvent stopped;  // set once stop() has run
};

// Lines of the control logger.
class LogCapture : public tolbu_test::LogCapture {
 public:
  LogCapture() : tolbu_test::LogCapture("tolbu_sdk.control") {}
};

inline tolbu_sdk::APIServer::Options loopback_options() {
  tolbu_sdk::APIServer::Options options;
  options.host = "127.0.0.1";
  options.read_timeout = 2000ms;
  options.shutdown_timeout = 5000ms;
  return options;
}

}  // namespace control_test
