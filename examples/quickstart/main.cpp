// quickstart: the smallest complete strategy loop, the one shown in the README.
//
//   quickstart [BACKEND_URL JWT]     e.g. quickstart http://127.0.0.1:8080 tolbu-sim-token
//
// Without arguments it uses the built-in endpoints (a JWT is then still needed by the back end).

#include <tolbu_sdk/tolbu_sdk.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <csignal>
#include <optional>
#include <string>

namespace asio = boost::asio;
using namespace tolbu_sdk;

asio::awaitable<void> run(TolbuConfig& config) {
  utils::setup_logging("INFO");
  utils::StrategyLogger log("quickstart");

  features::MarketDataService prices(config);
  strategy::Symbol symbol{.name = "VN30F2412"};
  if (auto master = prices.get_product_master("VN30F2412")) symbol.update_from_master(*master);

  features::indicators::SMA fast(5), slow(20);
  features::TolbuStream stream(config);
  co_await stream.connect();
  co_await stream.subscribe_candles(
      "VN30F2412", TimeResolution::MINUTE_1, [&](const types::Candle& candle) {
        const auto bar = strategy::Bar::from_candle(candle, "VN30F2412");
        // A copy of the newest bar, still valid after add() below.
        const std::optional<strategy::Bar> last = symbol.bars.current();
        if (last && bar.time <= last->time) {
          if (bar.time == last->time) symbol.bars.update(bar);  // the forming candle changed
          return;
        }
        symbol.bars.add(bar);
        // A new candle started, so the one before it is complete.
        if (last) {
          fast.add(*last);  // value indicators take the bar's close
          slow.add(*last);
          log.bar("VN30F2412", last->open, last->high, last->low, last->close, last->volume);
        }
      });

  // Everything above lives in this coroutine's frame: keep it until Ctrl-C.
  asio::signal_set signals(co_await asio::this_coro::executor, SIGINT, SIGTERM);
  co_await signals.async_wait(asio::use_awaitable);
  co_await stream.disconnect();
}

int main(int argc, char** argv) {
  auto config = argc >= 3 ? TolbuConfig::from_endpoints(
                                argv[1], argv[1],
                                "ws" + std::string(argv[1]).substr(4) + "/connection/websocket",
                                argv[2])
                          : TolbuConfig::from_defaults();
  asio::io_context loop;
  asio::co_spawn(loop, run(config), asio::detached);
  loop.run();
}
