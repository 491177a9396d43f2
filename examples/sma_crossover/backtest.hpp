#pragma once
// The example as a backtest: the same strategy against tolbu-sim's replay of a range of
// history, stepped bar by bar (tolbu_sdk/backtest/runtime.hpp), with a progress bar, a summary
// and the JSON and HTML reports.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include "control_app.hpp"
#include "options.hpp"

namespace sma_crossover {

boost::asio::awaitable<int> run_backtest(const Options& options, boost::asio::io_context& loop,
                                         RecentLogs& logs);

}  // namespace sma_crossover
