// The control API's request reading, bytes in through its own server on loopback: whatever
// arrives is answered with a well-formed HTTP answer or not at all, and the server stays up.

#include "fuzz_check.hpp"
#include "loopback.hpp"
#include "quiet_logs.hpp"
#include "tolbu_sdk/control.hpp"

#include <boost/json.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <string>

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

// Echoes what the server handed it, so that decoded query values reach the answer.
class EchoApp : public tolbu_sdk::Application {
 public:
  json::value get_status() override { return "RUNNING"; }
  double get_progress() override { return 42.5; }
  json::value get_algo_stat_report() override { return json::object{{"pnl", 1.5}}; }
  json::array get_logs(std::int64_t limit) override { return json::array{limit}; }
  json::array get_orders(const std::optional<std::string>& account_id,
                         const std::optional<std::string>& symbol) override {
    return json::array{account_id ? json::value(*account_id) : json::value(nullptr),
                       symbol ? json::value(*symbol) : json::value(nullptr)};
  }
  json::array get_trades(const std::optional<std::string>& account_id) override {
    return json::array{account_id ? json::value(*account_id) : json::value(nullptr)};
  }
  boost::asio::awaitable<void> stop() override { co_return; }
};

struct Peers {
  Peers() {
    tolbu_fuzz::quiet_logs();
    server.start();
    if (!server.wait_until_listening(10s)) std::abort();
  }
  EchoApp app;
  tolbu_sdk::APIServer server{app, 0,
                              {.host = "127.0.0.1", .read_timeout = 2000ms,
                               .write_timeout = 2000ms}};
};

Peers& peers() {
  static auto* p = new Peers;
  return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& p = peers();
  const std::string answer = tolbu_fuzz::exchange(
      static_cast<std::uint16_t>(p.server.port()),
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!answer.empty()) {
    FUZZ_CHECK(answer.starts_with("HTTP/1.0 ") && answer.size() >= 12);
    const int status = std::atoi(answer.substr(9, 3).c_str());
    FUZZ_CHECK(status >= 200 && status <= 599);
    FUZZ_CHECK(answer.find("\r\n\r\n") != std::string::npos);
  }
  FUZZ_CHECK(p.server.is_running());
  return 0;
}
