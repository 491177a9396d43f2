// fetch_candles: pages a back end's candle history over REST and writes it as CSV
// (time,open,high,low,close,volume; time in ISO-8601 UTC), the format tolbu-sim --data reads.
//
//   fetch_candles --backend http://127.0.0.1:8080 --symbol HPG --resolution 60
//                 --from 2024-01-02 --to 2024-02-01 --out HPG.csv
//
// Only complete candles are written: those ending by --to, which is clamped to now. The file
// is written beside its name and renamed when complete, so a failure never leaves half a file.

#include <tolbu_sdk/config.hpp>
#include <tolbu_sdk/features/prices.hpp>
#include <tolbu_sdk/kit/strategy.hpp>
#include <tolbu_sdk/platform/datetime.hpp>
#include <tolbu_sdk/platform/number_text.hpp>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage = R"(Usage: fetch_candles --symbol S --from TIME --to TIME --out FILE [options]

  --backend URL         REST and micro API base (default http://127.0.0.1:8080)
  --symbol S            instrument code; required
  --resolution SECONDS  candle length (default 60)
  --from TIME           first candle: YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time, TZ;
                        with a trailing Z, UTC) or epoch ms; required
  --to TIME             candles ending by this time (clamped to now); required
  --out FILE            the CSV file, or - for standard output; required
  --page N              candles asked for per request (default 5000)
  --help                this text

The token, when the back end wants one, comes from the environment's TOLBU_JWT.
Exit status: 0 written, 1 the back end failed or sent inconsistent candles, 2 bad options.
)";

bool whole(std::string_view text, std::int64_t& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::string utc_text(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  const auto rest = ms % 1000;
  if (rest == 0) return fmt::format("{:%Y-%m-%dT%H:%M:%S}Z", fmt::gmtime(seconds));
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", fmt::gmtime(seconds), rest);
}

int usage_error(const std::string& message) {
  std::cerr << "fetch_candles: " << message << " (--help lists the options)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string backend = "http://127.0.0.1:8080";
  std::string symbol, out_path;
  std::int64_t resolution = 60, page = 5000;
  std::optional<std::int64_t> from_ms, to_ms;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) return usage_error("missing value after " + std::string(arg));
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--backend") {
      backend = value;
    } else if (arg == "--symbol") {
      symbol = value;
    } else if (arg == "--resolution") {
      ok = whole(value, resolution) && resolution > 0 && resolution <= 31 * 86400;
    } else if (arg == "--from") {
      from_ms = tolbu_sdk::kit::parse_time_ms(value);
      ok = from_ms.has_value();
    } else if (arg == "--to") {
      to_ms = tolbu_sdk::kit::parse_time_ms(value);
      ok = to_ms.has_value();
    } else if (arg == "--out") {
      out_path = value;
    } else if (arg == "--page") {
      ok = whole(value, page) && page > 0;
    } else {
      return usage_error("unknown option " + std::string(arg));
    }
    if (!ok) return usage_error("bad value for " + std::string(arg) + ": \"" + value + "\"");
  }
  if (symbol.empty()) return usage_error("--symbol is required");
  if (!from_ms || !to_ms) return usage_error("--from and --to are required");
  if (out_path.empty()) return usage_error("--out is required");
  const std::int64_t length = resolution * 1000;
  // A candle that has not ended yet is still forming: never saved as if it were complete.
  const std::int64_t end_ms = std::min(*to_ms, tolbu_sdk::platform::now_epoch_ms());
  if (end_ms <= *from_ms) return usage_error("--to must be after --from");

  std::string csv = "time,open,high,low,close,volume\n";
  std::size_t count = 0;
  try {
    const char* token = std::getenv("TOLBU_JWT");
    const auto config = tolbu_sdk::TolbuConfig::from_endpoints(
        backend, backend, tolbu_sdk::kit::streaming_url(backend),
        token ? std::optional<std::string>(token) : std::nullopt);
    tolbu_sdk::features::MarketDataService prices(config);
    std::int64_t previous = -1;
    // Pages of whole candle windows: none is asked for twice, none is skipped.
    for (std::int64_t start = *from_ms; start < end_ms; start += page * length) {
      const std::int64_t last_start = std::min(start + page * length, end_ms) - 1;
      const auto candles = prices.fetch_candles(symbol, resolution, start, last_start);
      for (const auto& c : candles) {
        if (c.time < start || c.time > last_start) continue;
        if (c.time + length > end_ms) continue;  // still forming at the end of the range
        auto fault = [&](const std::string& what) {
          return std::runtime_error(
              fmt::format("the back end's candle of {} at {} ({}) {}", symbol, c.time,
                          utc_text(c.time), what));
        };
        if (c.time <= previous) throw fault("is out of order or repeated");
        if (c.time % length != 0) throw fault("is not on the grid of its resolution");
        if (!std::isfinite(c.open) || !std::isfinite(c.high) || !std::isfinite(c.low) ||
            !std::isfinite(c.close) || !std::isfinite(c.volume))
          throw fault("has a value that is not finite");
        if (c.low <= 0 || c.high < c.low || c.open < c.low || c.open > c.high ||
            c.close < c.low || c.close > c.high || c.volume < 0)
          throw fault("is inconsistent (low <= open, close <= high, volume >= 0)");
        previous = c.time;
        csv += utc_text(c.time);
        for (const double v : {c.open, c.high, c.low, c.close, c.volume}) {
          csv += ',';
          tolbu_sdk::platform::append_number_text(csv, v);
        }
        csv += '\n';
        ++count;
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "fetch_candles: " << e.what() << "\n";
    return 1;
  }
  if (count == 0) {
    std::cerr << "fetch_candles: no complete candle of " << symbol << " in the range\n";
    return 1;
  }
  if (out_path == "-") {
    std::cout << csv << std::flush;
    return std::cout ? 0 : 1;
  }
  const std::string partial = out_path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << csv;
    out.close();
    if (!out) {
      std::cerr << "fetch_candles: cannot write " << partial << "\n";
      std::filesystem::remove(partial);
      return 1;
    }
  }
  std::error_code ec;
  std::filesystem::rename(partial, out_path, ec);
  if (ec) {
    std::cerr << "fetch_candles: cannot rename " << partial << " to " << out_path << ": "
              << ec.message() << "\n";
    return 1;
  }
  std::cerr << fmt::format("fetch_candles: {} candles of {} ({} s) from {} to {} in {}\n", count,
                           symbol, resolution, *from_ms, end_ms, out_path);
  return 0;
}
