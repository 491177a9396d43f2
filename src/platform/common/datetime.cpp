#include "tolbu_sdk/platform/datetime.hpp"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::platform {

namespace chr = std::chrono;

namespace {

// Offset of local time from UTC at the given Unix second, from the C library's zone rules.
chr::seconds utc_offset_at(std::time_t t) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) throw ValueError("timestamp out of range for local time");
  return chr::seconds(tm.tm_gmtoff);
}

}  // namespace

LocalDateTime from_epoch_ms(double epoch_ms) {
  if (!std::isfinite(epoch_ms)) throw ValueError("timestamp is not a finite number");
  // Whole milliseconds and the fraction apart: their product by 1000 in one double would
  // lose microseconds beyond 2^53 of them (after the year 2255).
  const double whole = std::trunc(epoch_ms);
  if (std::fabs(whole) > 9.2e15) throw ValueError("timestamp out of range");
  const double fraction_us = std::nearbyint((epoch_ms - whole) * 1000.0);  // half to even
  const chr::microseconds since_epoch(static_cast<std::int64_t>(whole) * 1000 +
                                      static_cast<std::int64_t>(fraction_us));
  const auto secs = chr::floor<chr::seconds>(since_epoch);
  const auto offset = utc_offset_at(static_cast<std::time_t>(secs.count()));
  const LocalDateTime local(since_epoch + offset);
  // The calendar holds years -32767..32767; beyond them a date would wrap to another year.
  const auto day = chr::floor<chr::days>(local);
  if (chr::local_days(chr::year_month_day(day)) != day)
    throw ValueError("timestamp out of range");
  return local;
}

namespace {

// The Unix second of a local wall-clock second, as mktime reads it.
std::int64_t unix_seconds_of_local(chr::local_seconds local) {
  const auto day = chr::floor<chr::days>(local);
  const chr::year_month_day ymd(day);
  const chr::hh_mm_ss hms(local - day);
  std::tm tm{};
  tm.tm_year = static_cast<int>(ymd.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
  tm.tm_hour = static_cast<int>(hms.hours().count());
  tm.tm_min = static_cast<int>(hms.minutes().count());
  tm.tm_sec = static_cast<int>(hms.seconds().count());
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

}  // namespace

double to_epoch_ms(LocalDateTime time) {
  const auto secs = chr::floor<chr::seconds>(time);
  const auto micros = (time - secs).count();
  return static_cast<double>(unix_seconds_of_local(secs)) * 1000.0 +
         static_cast<double>(micros) / 1000.0;
}

std::int64_t to_epoch_ms_int(LocalDateTime time) {
  const auto secs = chr::floor<chr::seconds>(time);
  const auto micros = (time - secs).count();
  const std::int64_t unix_secs = unix_seconds_of_local(secs);
  // Truncation toward zero of seconds * 1000 + micros / 1000.
  std::int64_t ms = unix_secs * 1000 + micros / 1000;
  if (unix_secs < 0 && micros % 1000 != 0) ms += 1;
  return ms;
}

LocalDateTime local_midnight(LocalDateTime time) { return chr::floor<chr::days>(time); }

LocalDateTime now_local() {
  const auto now = chr::system_clock::now();
  const auto us = chr::duration_cast<chr::microseconds>(now.time_since_epoch());
  const auto offset = utc_offset_at(chr::system_clock::to_time_t(now));
  return LocalDateTime(us + offset);
}

std::int64_t now_epoch_ms() {
  return chr::duration_cast<chr::milliseconds>(chr::system_clock::now().time_since_epoch())
      .count();
}

LocalDateTime make_local(int year, unsigned month, unsigned day, int hour, int minute,
                         int second, int microsecond) {
  // Checked before the narrowing to the calendar's types, which would wrap silently.
  const bool in_range = year >= static_cast<int>(chr::year::min()) &&
                        year <= static_cast<int>(chr::year::max()) && month <= 12 && day <= 31;
  const chr::year_month_day ymd{chr::year(in_range ? year : 0), chr::month(month),
                                chr::day(day)};
  if (!in_range || !ymd.ok()) throw ValueError(fmt::format("invalid date {}-{}-{}", year, month, day));
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      microsecond < 0 || microsecond > 999999)
    throw ValueError(fmt::format("invalid time {}:{}:{}.{}", hour, minute, second, microsecond));
  return LocalDateTime(chr::local_days(ymd).time_since_epoch() + chr::hours(hour) +
                       chr::minutes(minute) + chr::seconds(second) +
                       chr::microseconds(microsecond));
}

std::string iso_text(LocalDateTime time) {
  const auto day = chr::floor<chr::days>(time);
  const chr::year_month_day ymd(day);
  const chr::hh_mm_ss hms(time - day);
  std::string out = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", static_cast<int>(ymd.year()),
                                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                                hms.hours().count(), hms.minutes().count(), hms.seconds().count());
  const auto micros = hms.subseconds().count();
  if (micros != 0) out += fmt::format(".{:06}", micros);
  return out;
}

double seconds_between(LocalDateTime a, LocalDateTime b) {
  return static_cast<double>((b - a).count()) / 1e6;
}

}  // namespace tolbu_sdk::platform
