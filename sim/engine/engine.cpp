// The sim built on a given loop and registered as an in-process endpoint: what sim/main.cpp
// builds, without the process around it.

#include "tolbu_sdk/sim/engine.hpp"

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <optional>
#include <sstream>

#include <unistd.h>

#include "market/exchange.hpp"
#include "options.hpp"
#include "rest/rest_api.hpp"
#include "server/context.hpp"
#include "server/server.hpp"
#include "streaming/extension.hpp"
#include "test_api/test_api.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

namespace tolbu_sdk::sim {

namespace asio = boost::asio;
namespace inproc = tolbu_sdk::platform::inproc;
using namespace tolbu_sim;

namespace {

SimOptions parse(const std::vector<std::string>& args) {
  std::vector<std::string> copies{"tolbu-sim"};
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  int exit_code = 0;
  auto options = parse_options(static_cast<int>(copies.size()), argv.data(), out, err, exit_code);
  if (!options) {
    std::string why = err.str().empty() ? "--help is not an option here" : err.str();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    throw ValueError("In-process tolbu-sim: " + why);
  }
  return *options;
}

std::string unique_name() {
  static std::atomic<unsigned> next{1};
  return "tolbu-sim-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
}

bool is_stream_target(std::string_view target) {
  return target == "/connection/websocket" || target.starts_with("/connection/websocket?");
}

}  // namespace

struct Engine::Impl {
  Impl(asio::io_context& loop, SimOptions o, std::string n)
      : options(std::move(o)),
        exchange(options),
        journal(options.journal_limit),
        context{loop, options, exchange, journal, faults, routes, 0, nullptr},
        name(std::move(n)),
        ticker(loop) {}

  ~Impl() {
    inproc::remove_endpoint(name);
    ticker.cancel();
    if (server) server->stop();
    if (auto hub = streaming_hub(context)) hub->close();
  }

  void schedule_ticks() {
    ticker.expires_after(std::chrono::milliseconds(options.tick_ms));
    ticker.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      exchange.tick();
      schedule_ticks();
    });
  }

  SimOptions options;
  Exchange exchange;
  Journal journal;
  FaultScript faults;
  RouteTable routes;
  SimContext context;
  std::string name;
  asio::steady_timer ticker;
  std::optional<Server> server;
};

Engine::Engine(asio::io_context& loop, const std::vector<std::string>& args, std::string name) {
  impl_ = std::make_unique<Impl>(loop, parse(args), name.empty() ? unique_name() : std::move(name));
  auto& ctx = impl_->context;
  install_test_api(ctx.routes);
  install_rest_api(ctx.routes);
  SimExtension::install_all(ctx);
  // A frozen clock has no live market; prices move through the test endpoints only.
  if (impl_->options.speed > 0) impl_->schedule_ticks();

  inproc::Endpoint endpoint;
  endpoint.loop = &loop;
  endpoint.http = [&ctx](inproc::HttpRequest request) {
    return answer_inproc(std::move(request), ctx);
  };
  endpoint.stream = [&ctx](std::shared_ptr<inproc::MessageEnd> end,
                           const inproc::HttpRequest& upgrade) {
    auto hub = streaming_hub(ctx);
    // As on the socket: streaming lives on its one path; anything else is turned away.
    if (!hub || !is_stream_target(upgrade.target)) return end->abort();
    hub->accept_inproc(std::move(end));
  };
  inproc::add_endpoint(impl_->name, std::move(endpoint));
}

Engine::~Engine() = default;

const std::string& Engine::name() const { return impl_->name; }
std::string Engine::base_url() const { return "inproc://" + impl_->name; }
std::string Engine::ws_url() const { return base_url() + "/connection/websocket"; }
const std::string& Engine::jwt() const { return impl_->options.jwt; }

std::uint16_t Engine::listen() {
  if (!impl_->server) {
    impl_->server.emplace(impl_->context);
    impl_->server->start();
  }
  return impl_->server->port();
}

}  // namespace tolbu_sdk::sim
