// The kit's command line: the same options for every strategy, secrets from the environment
// or a file only (a token on the command line shows in every user's process list).

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>
#include <type_traits>

#include "tolbu_sdk/kit/strategy.hpp"
#include "tolbu_sdk/platform/datetime.hpp"

namespace tolbu_sdk::kit {

namespace {

constexpr const char* kUsage = R"(Usage: {name} [options]

  --symbol S[,S...]     symbols to trade (repeatable); required
  --resolution SECONDS  bar length (default 60)
  --backend URL         REST and micro API base (default http://127.0.0.1:8080)
  --ws URL              streaming address (default: the backend's /connection/websocket)
  --token-file PATH     file holding the JWT; otherwise the environment's TOLBU_JWT
  --account ID          trading account (default SIM0001)
  --history N           bars of history to warm up on (default 200)
  --duration SECONDS    run length; 0 runs until stopped (default 0)
  --control-host HOST   control API address (default 127.0.0.1)
  --control-port PORT   control API port, 0 for any free one, -1 for none (default 8000);
                        TOLBU_CONTROL_TOKEN in the environment makes it require that bearer
                        token, as it should when --control-host opens it to the network
  --log-level LEVEL     DEBUG, INFO, WARNING, ERROR (default INFO)
  --log-dir DIR         log files' folder (default logs)
  --report-dir DIR      write report.json and report.html there at the end
  --title TEXT          heading of the report (default: the name and the symbols)
  --capital AMOUNT      starting equity of the report (default 100000); given, in a
                        backtest also the sim account's cash, which must margin the orders
  --commission-pct PCT  fee per fill in per cent of its value, when the back end reports none
  --no-flatten          leave positions open when the run ends
  --risk                turn on the risk guard with the default limits (--no-risk: off); any
                        of these four turns it on with that limit changed (0: not enforced):
  --max-order-qty N       largest quantity of an order that adds risk (default 1000)
  --max-open-positions N  symbols with a position at once (default 10)
  --max-daily-loss X      loss within a day that stops new entries until the next day and
                          flattens (default 10000)
  --max-drawdown-pct X    fall below the equity's peak, in per cent, that stops new entries
                          for the rest of the run and flattens (default 15)
  --backtest            replay [--from, --to) against a tolbu-sim started with --replay
  --from TIME           first bar: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time; with a
                        trailing Z, UTC) or epoch ms
  --to TIME             bars start before this
  --bars N              instead of --to: N bars from --from
  --inproc              run tolbu-sim inside this program instead of reaching --backend
                        (with --backtest: in replay); no token needed
  --sim-arg ARG         an option of that tolbu-sim (repeatable), e.g. --sim-arg --seed
                        --sim-arg 3
  --linger SECONDS      after a backtest, keep the control API ("/report", "/dashboard") up
                        this long, or until POST /stop (default 0)
  --set KEY=VALUE       a parameter of the strategy (repeatable)
  --help                this text
)";

std::string usage(const std::string& name) {
  std::string text = kUsage;
  const std::string key = "{name}";
  text.replace(text.find(key), key.size(), name);
  return text;
}

template <typename T>
bool number(std::string_view text, T& out) {
  if constexpr (std::is_floating_point_v<T>) {
    char* end = nullptr;
    const std::string copy(text);
    out = std::strtod(copy.c_str(), &end);
    return !copy.empty() && end == copy.c_str() + copy.size() && std::isfinite(out);
  } else {
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
  }
}

}  // namespace

std::optional<std::int64_t> parse_time_ms(std::string_view text) {
  std::int64_t ms = 0;
  if (text.find('-') == std::string_view::npos) {
    if (number(text, ms) && ms >= 0) return ms;
    return std::nullopt;
  }
  // A trailing Z is UTC, as CSV histories write their times; without it, local time.
  const bool utc = text.ends_with('Z');
  if (utc) text.remove_suffix(1);
  int year = 0;
  unsigned month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
  const std::string copy(text);
  char tail = 0;
  const int n = std::sscanf(copy.c_str(), "%4d-%2u-%2uT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                            &minute, &second, &tail);
  if (n != 3 && n != 5 && n != 6) return std::nullopt;
  if (utc && n == 3) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  if (utc) {
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                                           std::chrono::day{day}};
    if (!date.ok()) return std::nullopt;
    const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    return ((days * 24 + hour) * 60 + minute) * 60'000 + std::int64_t{second} * 1000;
  }
  return platform::to_epoch_ms_int(platform::make_local(year, month, day, hour, minute, second));
}

std::string streaming_url(const std::string& backend) {
  std::string_view rest = backend;
  std::string scheme = "ws://";
  if (rest.starts_with("https://")) {
    scheme = "wss://";
    rest.remove_prefix(8);
  } else if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("inproc://")) {
    scheme = "inproc://";  // a sim linked into the program streams under its own name
    rest.remove_prefix(9);
  }
  rest = rest.substr(0, rest.find('/'));  // host and port only
  return scheme + std::string(rest) + "/connection/websocket";
}

std::optional<RunOptions> parse_run_options(int argc, char** argv, RunOptions options,
                                            int& exit_code) {
  const std::string program = options.name;
  auto fail = [&](const std::string& message) -> std::optional<RunOptions> {
    std::cerr << program << ": " << message << " (--help lists the options)\n";
    exit_code = 2;
    return std::nullopt;
  };
  std::optional<std::string> token_file;
  std::int64_t bars = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage(program);
      exit_code = 0;
      return std::nullopt;
    }
    if (arg == "--no-flatten") {
      options.flatten_on_stop = false;
      continue;
    }
    if (arg == "--risk" || arg == "--no-risk") {
      if (arg == "--no-risk") {
        options.risk.reset();
      } else if (!options.risk) {
        options.risk.emplace();
      }
      continue;
    }
    if (arg == "--backtest") {
      options.backtest = true;
      continue;
    }
    if (arg == "--inproc") {
      options.inproc = true;
      continue;
    }
    if (arg == "--jwt") return fail("--jwt is not taken: set TOLBU_JWT or use --token-file");
    if (i + 1 >= argc) return fail("missing value after " + std::string(arg));
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--symbol") {
      std::stringstream list(value);
      for (std::string s; std::getline(list, s, ',');) {
        if (!s.empty()) options.symbols.push_back(s);
      }
    } else if (arg == "--resolution") {
      ok = number(value, options.resolution) && options.resolution > 0;
    } else if (arg == "--backend") {
      options.backend = value;
    } else if (arg == "--ws") {
      options.ws = value;
    } else if (arg == "--token-file") {
      token_file = value;
    } else if (arg == "--account") {
      options.account_id = value;
    } else if (arg == "--history") {
      ok = number(value, options.history_bars);
    } else if (arg == "--duration") {
      ok = number(value, options.duration_seconds) && options.duration_seconds >= 0;
    } else if (arg == "--control-host") {
      options.control_host = value;
    } else if (arg == "--control-port") {
      ok = number(value, options.control_port) && options.control_port >= -1 &&
           options.control_port <= 65535;
    } else if (arg == "--log-level") {
      options.log_level = value;
    } else if (arg == "--log-dir") {
      options.log_dir = value;
    } else if (arg == "--report-dir") {
      options.report_dir = value;
    } else if (arg == "--title") {
      options.title = value;
    } else if (arg == "--linger") {
      ok = number(value, options.linger_seconds) && options.linger_seconds >= 0;
    } else if (arg == "--capital") {
      ok = number(value, options.capital) && options.capital > 0;
      options.capital_given = true;
    } else if (arg == "--commission-pct") {
      ok = number(value, options.costs.commission_pct) && options.costs.commission_pct >= 0;
    } else if (arg.starts_with("--max-")) {
      RiskLimits& limits = options.risk ? *options.risk : options.risk.emplace();
      if (arg == "--max-order-qty") {
        ok = number(value, limits.max_order_qty) && limits.max_order_qty >= 0;
      } else if (arg == "--max-open-positions") {
        ok = number(value, limits.max_open_positions) && limits.max_open_positions >= 0;
      } else if (arg == "--max-daily-loss") {
        ok = number(value, limits.max_daily_loss) && limits.max_daily_loss >= 0;
      } else if (arg == "--max-drawdown-pct") {
        ok = number(value, limits.max_drawdown_pct) && limits.max_drawdown_pct >= 0;
      } else {
        return fail("unknown option " + std::string(arg));
      }
    } else if (arg == "--from" || arg == "--to") {
      const auto ms = parse_time_ms(value);
      ok = ms.has_value();
      (arg == "--from" ? options.from_ms : options.to_ms) = ms.value_or(0);
    } else if (arg == "--bars") {
      ok = number(value, bars) && bars > 0;
    } else if (arg == "--sim-arg") {
      options.sim_args.push_back(value);
    } else if (arg == "--set") {
      const auto eq = value.find('=');
      ok = eq != std::string::npos && eq > 0;
      if (ok) options.params[value.substr(0, eq)] = value.substr(eq + 1);
    } else {
      return fail("unknown option " + std::string(arg));
    }
    if (!ok) return fail("bad value for " + std::string(arg) + ": \"" + value + "\"");
  }
  if (options.symbols.empty()) return fail("--symbol is required");
  if (token_file) {
    std::ifstream in(*token_file);
    if (!in) return fail("cannot read the token file " + *token_file);
    std::getline(in, options.token);
    while (!options.token.empty() && std::isspace(static_cast<unsigned char>(options.token.back())))
      options.token.pop_back();
  } else if (const char* env = std::getenv("TOLBU_JWT")) {
    options.token = env;
  }
  // An in-process sim takes the run's token, whatever it is.
  if (options.token.empty() && options.inproc) options.token = "tolbu-inproc";
  if (options.token.empty()) return fail("no token: set TOLBU_JWT or use --token-file");
  if (const char* env = std::getenv("TOLBU_CONTROL_TOKEN")) options.control_token = env;
  if (options.ws.empty()) options.ws = streaming_url(options.backend);
  if (options.backtest) {
    if (options.from_ms <= 0) return fail("--backtest needs --from");
    if (bars > 0) options.to_ms = options.from_ms + bars * options.resolution * 1000;
    if (options.to_ms <= options.from_ms) return fail("--backtest needs --to after --from, or --bars");
  }
  return options;
}

}  // namespace tolbu_sdk::kit
