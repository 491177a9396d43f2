#include "options.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "tolbu_sdk/kit/strategy.hpp"

namespace sma_crossover {

namespace {

template <class T>
bool parse_number(std::string_view text, T& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc{} && ptr == end;
}

}  // namespace

std::string usage() {
  return R"(sma_crossover: an SMA-crossover strategy run against a Tolbu back end

Usage: sma_crossover --backend URL --jwt TOKEN [options]

  --backend URL        REST and market-data base URL (default http://127.0.0.1:8080)
  --ws URL             streaming address (default: ws://HOST:PORT/connection/websocket)
  --jwt TOKEN          bearer token of the account
  --account ID         trading account (default SIM0001)
  --symbol CODE        instrument (default VN30F2412)
  --duration SECONDS   run time; 0 runs until stopped (default 60)
  --control-port N     control API port; 0 picks a free one (default 8000)
  --control-host ADDR  control API address (default 127.0.0.1)
  --resolution S       candle length in seconds (default 60)
  --fast N             fast moving average period (default 3)
  --slow N             slow moving average period (default 8)
  --quantity Q         order size, normalised to the lot size (default 1)
  --log-level LEVEL    level of the log files in logs/ (default DEBUG)
  --help               this text

Backtest (against tolbu-sim --replay; scripts/backtest starts both):
  --backtest           replay history instead of trading live; --duration is ignored
  --from TIME          first bar: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time) or epoch ms
  --to TIME            bars start before this
  --bars N             instead of --to: N bars from --from
  --capital X          starting equity of the equity curve (default 100000)
  --report-dir DIR     where report.json and report.html are written (default .)
  --title TEXT         heading of the report
  --linger SECONDS     keep the control API ("/report", "/dashboard") up this long after
                       the backtest, or until POST /stop (default 0)

Stop with Ctrl-C or POST /stop on the control API.
)";
}

std::optional<Options> parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                                     int& exit_code) {
  Options options;
  Params& p = options.strategy;
  auto fail = [&](const std::string& message) -> std::optional<Options> {
    err << "sma_crossover: " << message << " (see --help)\n";
    exit_code = 2;
    return std::nullopt;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out << usage();
      exit_code = 0;
      return std::nullopt;
    }
    if (arg == "--backtest") {
      options.backtest = true;
      continue;
    }
    if (i + 1 >= argc) return fail("missing value for " + std::string(arg));
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--backend") {
      options.backend = value;
    } else if (arg == "--ws") {
      options.ws = value;
    } else if (arg == "--jwt") {
      options.jwt = value;
    } else if (arg == "--account") {
      p.account_id = value;
      ok = !value.empty();
    } else if (arg == "--symbol") {
      p.symbol = value;
      ok = !value.empty();
    } else if (arg == "--duration") {
      ok = parse_number(value, options.duration) && options.duration >= 0;
    } else if (arg == "--control-port") {
      ok = parse_number(value, options.control_port) && options.control_port >= 0 &&
           options.control_port <= 65535;
    } else if (arg == "--control-host") {
      options.control_host = value;
      ok = !value.empty();
    } else if (arg == "--resolution") {
      ok = parse_number(value, p.resolution) && p.resolution > 0;
    } else if (arg == "--fast") {
      ok = parse_number(value, p.fast_period) && p.fast_period > 0;
    } else if (arg == "--slow") {
      ok = parse_number(value, p.slow_period) && p.slow_period > 0;
    } else if (arg == "--quantity") {
      ok = parse_number(value, p.quantity) && std::isfinite(p.quantity) && p.quantity > 0;
    } else if (arg == "--log-level") {
      options.log_level = value;
    } else if (arg == "--from" || arg == "--to") {
      const auto ms = parse_time(value);
      ok = ms.has_value();
      (arg == "--from" ? options.from_ms : options.to_ms) = ms.value_or(0);
    } else if (arg == "--bars") {
      ok = parse_number(value, options.bars) && options.bars > 0;
    } else if (arg == "--capital") {
      ok = parse_number(value, options.capital) && std::isfinite(options.capital) &&
           options.capital > 0;
    } else if (arg == "--report-dir") {
      options.report_dir = value;
      ok = !value.empty();
    } else if (arg == "--title") {
      options.title = value;
    } else if (arg == "--linger") {
      ok = parse_number(value, options.linger) && options.linger >= 0;
    } else {
      return fail("unknown option " + std::string(arg));
    }
    if (!ok) return fail("bad value for " + std::string(arg) + ": '" + std::string(value) + "'");
  }
  if (options.jwt.empty()) return fail("--jwt TOKEN is required: orders and the stream need it");
  if (p.fast_period >= p.slow_period) return fail("--fast must be shorter than --slow");
  if (options.ws.empty()) options.ws = streaming_url(options.backend);
  if (options.backtest) {
    if (options.from_ms <= 0) return fail("--backtest needs --from");
    if (options.bars > 0) options.to_ms = options.from_ms + options.bars * p.resolution * 1000;
    if (options.to_ms <= options.from_ms)
      return fail("--backtest needs --to after --from, or --bars");
    p.market_clock = true;
  }
  return options;
}

std::optional<std::int64_t> parse_time(std::string_view text) {
  return tolbu_sdk::kit::parse_time_ms(text);
}

std::string streaming_url(const std::string& backend) {
  return tolbu_sdk::kit::streaming_url(backend);
}

}  // namespace sma_crossover
