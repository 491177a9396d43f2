// CSV candle histories on any bytes: a file is refused only with CsvError, and one that is
// accepted holds what the reader promises (sorted bars on the resolution's grid, prices that
// make sense) and answers for its own bars.

#include "fuzz_check.hpp"
#include "market/csv_history.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    const tolbu_sim::CandleSeries series = tolbu_sim::parse_csv_history(in, "fuzz.csv");
    const auto& bars = series.bars();
    const int res = series.resolution_s();
    FUZZ_CHECK(!bars.empty() && res > 0);
    const std::int64_t length = std::int64_t{res} * 1000;
    for (std::size_t i = 0; i < bars.size(); ++i) {
      const auto& b = bars[i];
      FUZZ_CHECK(std::isfinite(b.open) && std::isfinite(b.high) && std::isfinite(b.low) &&
                 std::isfinite(b.close) && std::isfinite(b.volume));
      FUZZ_CHECK(b.low <= b.high && b.low <= b.open && b.open <= b.high && b.low <= b.close &&
                 b.close <= b.high && b.volume >= 0);
      FUZZ_CHECK(b.time % length == 0);
      if (i > 0) FUZZ_CHECK(b.time >= bars[i - 1].time + length);
      if (i < 64) {
        FUZZ_CHECK(series.has_bar(res, b.time));
        FUZZ_CHECK(series.price(b.time) == b.open);
        const auto candle = series.candle(res, b.time, b.time + length - 1);
        FUZZ_CHECK(candle.open == b.open && candle.close == b.close && candle.high == b.high &&
                   candle.low == b.low);
      }
    }
    const auto starts = series.starts(res, series.first_ms(), series.end_ms() - 1, series.end_ms());
    FUZZ_CHECK(starts.size() == bars.size());
    std::string message;
    const auto history = series.history(res, series.first_ms(), series.end_ms() - 1, 0,
                                        series.end_ms(), bars.size() + 1, message);
    FUZZ_CHECK(history && history->size() == bars.size());
  } catch (const tolbu_sim::CsvError&) {
  }
  return 0;
}
