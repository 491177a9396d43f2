// Runs with TZ=UTC (set by CTest); the zone-dependent cases switch TZ themselves.
#include "tolbu_sdk/platform/datetime.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "tolbu_sdk/errors.hpp"

using namespace tolbu_sdk::platform;

namespace {

// Switches the process's local zone for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_.empty()) unsetenv("TZ");
    else setenv("TZ", old_.c_str(), 1);
    tzset();
  }

 private:
  std::string old_;
};

}  // namespace

TEST(DateTime, EpochMillisecondsToLocal) {
  ScopedTimeZone utc("UTC");
  EXPECT_EQ(iso_text(from_epoch_ms(0)), "1970-01-01T00:00:00");
  EXPECT_EQ(iso_text(from_epoch_ms(1715938205042.0)), "2024-05-17T09:30:05.042000");
  EXPECT_EQ(iso_text(from_epoch_ms(1715938205042.5)), "2024-05-17T09:30:05.042500");
  EXPECT_EQ(iso_text(from_epoch_ms(-1)), "1969-12-31T23:59:59.999000");
}

TEST(DateTime, FractionsRoundToTheNearestMicrosecond) {
  ScopedTimeZone utc("UTC");
  EXPECT_EQ(iso_text(from_epoch_ms(0.0004)), "1970-01-01T00:00:00");
  EXPECT_EQ(iso_text(from_epoch_ms(0.0006)), "1970-01-01T00:00:00.000001");
}

TEST(DateTime, IsoTextShowsMicrosecondsOnlyWhenNonZero) {
  EXPECT_EQ(iso_text(make_local(2024, 1, 2, 3, 4, 5)), "2024-01-02T03:04:05");
  EXPECT_EQ(iso_text(make_local(2024, 1, 2, 3, 4, 5, 7)), "2024-01-02T03:04:05.000007");
  EXPECT_EQ(iso_text(make_local(999, 12, 31, 23, 59, 59, 999999)), "0999-12-31T23:59:59.999999");
}

TEST(DateTime, LocalTimeFollowsTheZone) {
  ScopedTimeZone hcm("Asia/Ho_Chi_Minh");
  const auto t = from_epoch_ms(1715938205042.0);
  EXPECT_EQ(iso_text(t), "2024-05-17T16:30:05.042000");
  EXPECT_DOUBLE_EQ(to_epoch_ms(t), 1715938205042.0);
  EXPECT_EQ(to_epoch_ms_int(make_local(2024, 5, 17, 16, 30, 5)), 1715938205000);
}

TEST(DateTime, RoundTripAndTruncation) {
  ScopedTimeZone utc("UTC");
  const auto t = make_local(2024, 5, 17, 9, 30, 5, 42999);
  EXPECT_DOUBLE_EQ(to_epoch_ms(t), 1715938205042.999);
  EXPECT_EQ(to_epoch_ms_int(t), 1715938205042);
  // Truncation is toward zero, also before the epoch.
  EXPECT_EQ(to_epoch_ms_int(make_local(1969, 12, 31, 23, 59, 59, 999500)), 0);
  EXPECT_EQ(to_epoch_ms_int(make_local(1969, 12, 31, 23, 59, 59, 998500)), -1);
}

TEST(DateTime, LocalMidnight) {
  ScopedTimeZone hcm("Asia/Ho_Chi_Minh");
  const auto t = make_local(2024, 5, 17, 23, 59, 59, 999999);
  EXPECT_EQ(iso_text(local_midnight(t)), "2024-05-17T00:00:00");
  // Local midnight in UTC+7 is 17:00 UTC of the previous day.
  EXPECT_EQ(to_epoch_ms_int(local_midnight(t)), 1715878800000);
  EXPECT_EQ(iso_text(local_midnight(make_local(2024, 2, 29))), "2024-02-29T00:00:00");
}

TEST(DateTime, InvalidInputIsAValueError) {
  EXPECT_THROW(from_epoch_ms(std::numeric_limits<double>::quiet_NaN()), tolbu_sdk::ValueError);
  EXPECT_THROW(from_epoch_ms(std::numeric_limits<double>::infinity()), tolbu_sdk::ValueError);
  EXPECT_THROW(from_epoch_ms(1e300), tolbu_sdk::ValueError);
  EXPECT_THROW(make_local(2023, 2, 29), tolbu_sdk::ValueError);
  EXPECT_THROW(make_local(2023, 1, 1, 24), tolbu_sdk::ValueError);
}

// Found by fuzzing: years beyond the calendar's range wrapped to other years silently.
TEST(DateTime, YearsBeyondTheCalendarAreAValueErrorNotAnotherYear) {
  EXPECT_THROW(make_local(100000, 1, 1), tolbu_sdk::ValueError);  // was year -31072
  EXPECT_THROW(make_local(-40000, 1, 1), tolbu_sdk::ValueError);
  EXPECT_THROW(make_local(2024, 257, 1), tolbu_sdk::ValueError);  // was January
  EXPECT_THROW(make_local(2024, 1, 257), tolbu_sdk::ValueError);
  EXPECT_EQ(iso_text(make_local(9999, 12, 31, 23, 59, 59)), "9999-12-31T23:59:59");
  // 1e15 ms is in the year 33658: past the calendar, not a date of year 33658 - 65536.
  EXPECT_THROW(from_epoch_ms(1e15), tolbu_sdk::ValueError);
  EXPECT_THROW(from_epoch_ms(-1.1e15), tolbu_sdk::ValueError);
  EXPECT_EQ(iso_text(from_epoch_ms(253402300799000.0)), "9999-12-31T23:59:59");
}

// Found by fuzzing: whole milliseconds far from the epoch lost microseconds on the way in.
TEST(DateTime, FarTimestampsKeepTheirWholeMilliseconds) {
  ScopedTimeZone utc("UTC");
  const auto t = from_epoch_ms(219132397573633.0);  // the year 8914
  EXPECT_EQ(to_epoch_ms_int(t), 219132397573633);
  EXPECT_EQ(iso_text(t), "8914-01-11T14:26:13.633000");
  EXPECT_EQ(to_epoch_ms_int(from_epoch_ms(-62135596800000.0)), -62135596800000);  // 0001-01-01
}

TEST(DateTime, NowAgreesWithTheClock) {
  ScopedTimeZone utc("UTC");
  const double before = static_cast<double>(now_epoch_ms());
  const double now = to_epoch_ms(now_local());
  EXPECT_GE(now, before - 1);
  EXPECT_LT(now - before, 5000);
  EXPECT_GE(seconds_between(make_local(2024, 1, 1), make_local(2024, 1, 1, 0, 0, 1, 500000)), 1.5);
}
