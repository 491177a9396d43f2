// tolbu-sim: the local back end. One io_context runs the HTTP server, the WebSocket side and
// the live market timer.

#include "market/csv_history.hpp"
#include "market/exchange.hpp"
#include "options.hpp"
#include "rest/rest_api.hpp"
#include "server/context.hpp"
#include "server/server.hpp"
#include "test_api/test_api.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <fmt/format.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>

namespace {

void schedule_ticks(boost::asio::steady_timer& timer, tolbu_sim::Exchange& exchange,
                    std::chrono::milliseconds interval) {
  timer.expires_after(interval);
  timer.async_wait([&timer, &exchange, interval](const boost::system::error_code& ec) {
    if (ec) return;
    exchange.tick();
    schedule_ticks(timer, exchange, interval);
  });
}

}  // namespace

int main(int argc, char** argv) {
  int exit_code = 0;
  auto options = tolbu_sim::parse_options(argc, argv, std::cout, std::cerr, exit_code);
  if (!options) return exit_code;
  std::signal(SIGPIPE, SIG_IGN);

  try {
    boost::asio::io_context io(1);
    tolbu_sim::Exchange exchange(*options);
    // Histories from files, checked before anything listens: a refused file ends the run.
    // Their lines follow the listening line, which stays the first.
    std::string data_lines;
    for (const auto& data : options->data) {
      auto series = std::make_shared<const tolbu_sim::CandleSeries>(
          tolbu_sim::read_csv_history(data.path, data.resolution_s));
      data_lines += fmt::format("tolbu-sim data {}: {} bars of {} s from {} to {} ({})\n",
                                data.symbol, series->bars().size(), series->resolution_s(),
                                series->first_ms(), series->end_ms(), data.path);
      exchange.market().load_series(data.symbol, std::move(series));
    }
    tolbu_sim::Journal journal(options->journal_limit);
    tolbu_sim::FaultScript faults;
    tolbu_sim::RouteTable routes;
    tolbu_sim::SimContext context{io, *options, exchange, journal, faults, routes, 0, nullptr};

    tolbu_sim::install_test_api(routes);
    tolbu_sim::install_rest_api(routes);
    tolbu_sim::Server server(context);
    tolbu_sim::SimExtension::install_all(context);

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) {
      server.stop();
      io.stop();
    });

    // A frozen clock has no live market; prices move through the test endpoints only.
    boost::asio::steady_timer ticker(io);
    if (options->speed > 0) {
      schedule_ticks(ticker, exchange, std::chrono::milliseconds(options->tick_ms));
    }

    server.start();
    std::printf("tolbu-sim listening on %s:%u\n", options->host.c_str(),
                static_cast<unsigned>(server.port()));
    std::fputs(data_lines.c_str(), stdout);
    std::fflush(stdout);
    io.run();
  } catch (const tolbu_sim::CsvError& e) {
    std::cerr << "tolbu-sim: " << e.what() << '\n';
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "tolbu-sim: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
