// The number-text and date-time helpers as round trips: a number's text reads back as the same
// double, a local date-time survives epoch milliseconds and its calendar fields, and nothing
// out of range is silently wrapped.

#include "fuzz_check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

namespace chr = std::chrono;
using namespace tolbu_sdk;
using namespace tolbu_sdk::platform;

template <class T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T out{};
  const std::size_t n = std::min(sizeof(T), size);
  std::memcpy(&out, data, n);
  data += n;
  size -= n;
  return out;
}

void number(double d) {
  const std::string text = number_text(d);
  std::string appended = "x";
  append_number_text(appended, d);
  FUZZ_CHECK(appended == "x" + text);
  if (std::isnan(d)) {
    FUZZ_CHECK(text == "nan");
    return;
  }
  if (std::isinf(d)) {
    FUZZ_CHECK(text == (d < 0 ? "-inf" : "inf"));
    return;
  }
  const auto back = read_decimal(text);
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(*back == d && std::signbit(*back) == std::signbit(d));
  const bool exponent = text.find('e') != std::string::npos;
  const double mag = std::fabs(d);
  FUZZ_CHECK(exponent == (mag != 0 && (mag < 1e-4 || mag >= 1e16)));
  FUZZ_CHECK(exponent || text.find('.') != std::string::npos);
  FUZZ_CHECK(text.size() <= 24);
}

void epoch(double ms) {
  LocalDateTime t;
  try {
    t = from_epoch_ms(ms);
  } catch (const ValueError&) {
    return;
  }
  FUZZ_CHECK(std::isfinite(ms));
  const double back = to_epoch_ms(t);
  // Kept to the microsecond: at most half a microsecond away (plus the double's own step).
  FUZZ_CHECK(std::fabs(back - ms) <= 0.0005 + std::fabs(ms) * 1e-15);
  FUZZ_CHECK(from_epoch_ms(back) == t);
  const std::int64_t whole = to_epoch_ms_int(t);
  // Where a double still tells thousandths apart, the truncation is that of the exact value.
  if (std::fabs(back) < 1e12) FUZZ_CHECK(static_cast<double>(whole) == std::trunc(back));
  const auto midnight = local_midnight(t);
  FUZZ_CHECK(midnight <= t && t - midnight < chr::days(1));
  FUZZ_CHECK(iso_text(midnight).ends_with("T00:00:00"));
}

void fields(int year, unsigned month, unsigned day, int hour, int minute, int second, int micro) {
  LocalDateTime t;
  try {
    t = make_local(year, month, day, hour, minute, second, micro);
  } catch (const ValueError&) {
    return;
  }
  const auto days = chr::floor<chr::days>(t);
  const chr::year_month_day ymd(days);
  FUZZ_CHECK(static_cast<int>(ymd.year()) == year);
  FUZZ_CHECK(static_cast<unsigned>(ymd.month()) == month);
  FUZZ_CHECK(static_cast<unsigned>(ymd.day()) == day);
  if (year >= 0 && year <= 9999) {
    std::string expected =
        fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", year, month, day, hour, minute, second);
    if (micro != 0) expected += fmt::format(".{:06}", micro);
    FUZZ_CHECK(iso_text(t) == expected);
  }
  epoch(to_epoch_ms(t));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A fixed offset without daylight saving: every local time exists exactly once.
  setenv("TZ", "<+07>-7", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto mode = take<std::uint8_t>(data, size) % 4;
  switch (mode) {
    case 0:
      number(take<double>(data, size));
      break;
    case 1:
      epoch(take<double>(data, size));
      break;
    case 2:
      epoch(static_cast<double>(take<std::int64_t>(data, size)));
      break;
    default: {
      const auto year = take<std::int32_t>(data, size);
      const auto month = take<std::uint8_t>(data, size);
      const auto day = take<std::uint8_t>(data, size);
      const auto hour = take<std::int8_t>(data, size);
      const auto minute = take<std::int8_t>(data, size);
      const auto second = take<std::int8_t>(data, size);
      const auto micro = take<std::int32_t>(data, size);
      fields(year, month, day, hour, minute, second, micro);
    }
  }
  return 0;
}
