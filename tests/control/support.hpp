#pragma once
// Test peers of the control server: a plain-socket HTTP client, an application object that
// records its calls, and a capture of the "tolbu_sdk.control" log.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace control_test {

using namespace std::chrono_literals;
namespace json = boost::json;

// A connected loopback socket, closed on destruction.
class Connection {
 public:
  explicit Connection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connected() const { return connected_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool send(std::string_view data) {
    while (!data.empty()) {
      const auto n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // True when the peer has sent something (or closed) within the timeout.
  bool readable(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
  }
  // Everything the peer sends until it closes; absent when it does not close in time.
  std::optional<std::string> read_to_end(std::chrono::milliseconds timeout = 5000ms) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return data;
      if (n < 0) return data.empty() ? std::nullopt : std::optional(data);
      data.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

struct Reply {
  std::string raw;
  std::string status_line;
  int status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

inline Reply parse_reply(const std::string& raw) {
  Reply reply;
  reply.raw = raw;
  const auto head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) return reply;
  reply.body = raw.substr(head_end + 4);
  std::string_view head(raw.data(), head_end);
  auto line_end = head.find("\r\n");
  reply.status_line = std::string(head.substr(0, line_end));
  if (reply.status_line.size() >= 12) reply.status = std::stoi(reply.status_line.substr(9, 3));
  while (line_end != std::string_view::npos) {
    head.remove_prefix(line_end + 2);
    line_end = head.find("\r\n");
    const auto line = head.substr(0, line_end);
    const auto colon = line.find(':');
    std::string name(line.substr(0, colon));
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    reply.headers[name] = std::string(value);
  }
  return reply;
}

// One request over a fresh connection; status 0 when no complete answer came back.
inline Reply round_trip(int port, std::string_view request) {
  Connection connection(port);
  if (!connection.connected() || !connection.send(request)) return {};
  const auto raw = connection.read_to_end();
  return raw ? parse_reply(*raw) : Reply{};
}

inline Reply request(int port, std::string_view method, std::string_view target,
                     std::string_view body = {}) {
  std::string text = std::string(method) + " " + std::string(target) +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: control-test\r\n";
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "\r\n";
  text += body;
  return round_trip(port, text);
}

inline Reply get(int port, std::string_view target) { return request(port, "GET", target); }
inline Reply post(int port, std::string_view target) { return request(port, "POST", target); }

// Records every call; answers what the test sets. Guarded: the server calls it from its thread.
class TestApp : public tolbu_sdk::Application {
 public:
  struct OrdersCall {
    std::optional<std::string> account_id, symbol;
  };

  json::value get_status() override {
    std::lock_guard lock(mutex);
    if (on_status) on_status();
    return status;
  }
  double get_progress() override {
    std::lock_guard lock(mutex);
    return progress;
  }
  json::value get_algo_stat_report() override {
    std::lock_guard lock(mutex);
    return report;
  }
  json::array get_logs(std::int64_t limit) override {
    std::lock_guard lock(mutex);
    limits.push_back(limit);
    json::array logs;
    for (std::int64_t i = 0; i < std::min<std::int64_t>(limit, 3); ++i)
      logs.emplace_back("line " + std::to_string(i));
    return logs;
  }
  json::array get_orders(const std::optional<std::string>& account_id,
                         const std::optional<std::string>& symbol) override {
    std::lock_guard lock(mutex);
    orders_calls.push_back({account_id, symbol});
    return orders;
  }
  json::array get_trades(const std::optional<std::string>& account_id) override {
    std::lock_guard lock(mutex);
    trades_calls.push_back(account_id);
    return json::array{json::object{{"id", 1}}, json::object{{"id", 2}}};
  }
  boost::asio::awaitable<void> stop() override {
    {
      std::lock_guard lock(mutex);
      stop_thread = std::this_thread::get_id();
      ++stop_calls;
    }
    stopped.set();
    if (stop_throws) throw std::runtime_error("cannot stop");
    co_return;
  }

  // Changes the answers under the lock the server's calls take.
  template <typename F>
  void update(F&& change) {
    std::lock_guard lock(mutex);
    change();
  }
  int stops() {
    std::lock_guard lock(mutex);
    return stop_calls;
  }

  std::mutex mutex;
  json::value status = "RUNNING";
  double progress = 45.5;
  json::value report = nullptr;
  json::array orders;
  std::function<void()> on_status;
  bool stop_throws = false;

  std::vector<std::int64_t> limits;
  std::vector<OrdersCall> orders_calls;
  std::vector<std::optional<std::string>> trades_calls;
  std::optional<std::thread::id> stop_thread;
  int stop_calls = 0;
  tolbu_sdk::Application::StopEvent stopped;  // set when stop() has run
};

// Collects "LEVEL|message" lines of the control logger for the life of the object.
class LogCapture {
 public:
  LogCapture() : handler_(std::make_shared<Sink>()) {
    handler_->set_formatter(
        std::make_shared<tolbu_sdk::logging::Formatter>("%(levelname)s|%(message)s"));
    logger().set_level(tolbu_sdk::logging::DEBUG);
    logger().add_handler(handler_);
  }
  ~LogCapture() { logger().remove_handler(handler_); }

  std::vector<std::string> lines() const { return handler_->lines(); }
  bool contains(std::string_view text) const { return handler_->contains(text); }
  // True once a line containing text has been logged within the timeout.
  bool wait_for(std::string_view text, std::chrono::milliseconds timeout = 5000ms) const {
    std::unique_lock lock(handler_->mutex);
    return handler_->logged.wait_for(lock, timeout, [&] { return handler_->has(text); });
  }

 private:
  struct Sink : tolbu_sdk::logging::Handler {
    void emit(std::string_view line) override {
      {
        std::lock_guard lock(mutex);
        captured.emplace_back(line);
      }
      logged.notify_all();
    }
    std::vector<std::string> lines() const {
      std::lock_guard lock(mutex);
      return captured;
    }
    bool has(std::string_view text) const {
      for (const auto& line : captured)
        if (line.find(text) != std::string::npos) return true;
      return false;
    }
    bool contains(std::string_view text) const {
      std::lock_guard lock(mutex);
      return has(text);
    }
    mutable std::mutex mutex;
    mutable std::condition_variable logged;
    std::vector<std::string> captured;
  };
  static tolbu_sdk::logging::Logger& logger() {
    return tolbu_sdk::logging::get_logger("tolbu_sdk.control");
  }
  std::shared_ptr<Sink> handler_;
};

inline tolbu_sdk::APIServer::Options loopback_options() {
  tolbu_sdk::APIServer::Options options;
  options.host = "127.0.0.1";
  options.read_timeout = 2000ms;
  options.shutdown_timeout = 5000ms;
  return options;
}

}  // namespace control_test
