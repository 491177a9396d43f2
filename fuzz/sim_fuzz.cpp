// tolbu-sim's request reading, bytes in through its own HTTP server on loopback, with the
// REST side and the test endpoints installed: whatever arrives is answered with well-formed
// HTTP (or the connection is closed), and the sim keeps serving.

#include "fuzz_check.hpp"
#include "loopback.hpp"
#include "market/exchange.hpp"
#include "options.hpp"
#include "rest/rest_api.hpp"
#include "server/context.hpp"
#include "server/server.hpp"
#include "test_api/test_api.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

tolbu_sim::SimOptions sim_options() {
  tolbu_sim::SimOptions o;
  o.quiet = true;
  o.speed = 0;  // a frozen clock: prices move only through the test endpoints
  o.start_ms = 1715938200000;
  o.max_candles = 500;
  o.journal_limit = 1000;
  return o;
}

struct Sim {
  Sim() {
    tolbu_sim::install_test_api(routes);
    tolbu_sim::install_rest_api(routes);
    server.start();
    thread = std::thread([this] { io.run(); });
  }
  boost::asio::io_context io{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
      io.get_executor()};
  tolbu_sim::SimOptions options = sim_options();
  tolbu_sim::Exchange exchange{options};
  tolbu_sim::Journal journal{options.journal_limit};
  tolbu_sim::FaultScript faults;
  tolbu_sim::RouteTable routes;
  tolbu_sim::SimContext context{io, options, exchange, journal, faults, routes, 0, nullptr};
  tolbu_sim::Server server{context};
  std::thread thread;
};

Sim& sim() {
  static auto* s = new Sim;
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = sim();
  // Faults scripted by one input (a delay, a drop) are not left for the next.
  s.faults.clear();
  const std::string answer = tolbu_fuzz::exchange(
      s.server.port(), std::string_view(reinterpret_cast<const char*>(data), size), 1500ms);
  if (!answer.empty()) {
    FUZZ_CHECK(answer.starts_with("HTTP/1."));
    FUZZ_CHECK(answer.find("\r\n\r\n") != std::string::npos);
  }
  return 0;
}
