// The sim's synthetic market: one-minute changes nearly uncorrelated with clustering sizes,
// history a pure function of seed and time, and the trading sessions when asked for.

#include "sim_process.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <cmath>
#include <string>
#include <vector>

namespace json = boost::json;
using tolbu_test::SimProcess;

namespace {

constexpr std::int64_t kMonthStart = 1'733'011'200'000;  // 2024-12-01T00:00:00Z
constexpr std::int64_t kDay = 86'400'000;
constexpr std::int64_t kMinute = 60'000;

struct Candle {
  std::int64_t time = 0;
  double open = 0, close = 0, volume = 0;
  bool operator==(const Candle&) const = default;
};

std::vector<Candle> candles(const SimProcess& sim, const std::string& symbol, std::int64_t from,
                            std::int64_t to) {
  auto reply =
      sim.get("/GetOhlcvHis/" + symbol + "/60/" + std::to_string(from) + "/" + std::to_string(to));
  EXPECT_EQ(reply.status, 200) << reply.body;
  std::vector<Candle> out;
  const json::value list = json::parse(reply.body);
  for (const auto& c : list.as_array()) {
    out.push_back({c.at("time").to_number<std::int64_t>(), c.at("open").to_number<double>(),
                   c.at("close").to_number<double>(), c.at("volume").to_number<double>()});
  }
  return out;
}

double autocorrelation(const std::vector<double>& x, std::size_t lag) {
  double mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(x.size());
  double num = 0, den = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    den += (x[i] - mean) * (x[i] - mean);
    if (i + lag < x.size()) num += (x[i] - mean) * (x[i + lag] - mean);
  }
  return num / den;
}

// Minutes after local midnight (UTC+7) and whether the local day is Monday to Friday.
std::int64_t local_minute(std::int64_t ms) { return ((ms + 7 * 3'600'000) % kDay) / kMinute; }
bool local_weekday(std::int64_t ms) {
  const std::int64_t day = (ms + 7 * 3'600'000) / kDay;
  return (day + 3) % 7 < 5;  // 1970-01-01 was a Thursday
}

}  // namespace

// Over a month of one-minute candles of the index future: lag-1 autocorrelation of the
// changes within +-0.05, sizes of changes positively autocorrelated (volatility clustering),
// the same candles whatever range asks for them, and, with sessions, no candle outside the
// sessions.
TEST(SimMarket, OneMinuteChangesAreUncorrelatedAndTheirSizesCluster) {
  struct Mode {
    std::vector<std::string> args;
    bool sessions;
  };
  for (const Mode& mode : {Mode{{}, false}, Mode{{"--sessions", "vn-derivatives"}, true}}) {
    SCOPED_TRACE(mode.sessions ? "vn-derivatives" : "all-day");
    std::vector<std::string> args{"--speed", "0", "--start-ms",
                                  std::to_string(kMonthStart + 32 * kDay)};
    args.insert(args.end(), mode.args.begin(), mode.args.end());
    SimProcess sim(args);
    const auto month = candles(sim, "VN30F2412", kMonthStart, kMonthStart + 31 * kDay - 1);
    ASSERT_GT(month.size(), 5000u);
    std::vector<double> changes, sizes;
    for (std::size_t i = 1; i < month.size(); ++i) {
      const double r = std::log(month[i].close / month[i - 1].close);
      changes.push_back(r);
      sizes.push_back(std::abs(r));
    }
    const double lag1 = autocorrelation(changes, 1);
    EXPECT_LT(std::abs(lag1), 0.05) << lag1;
    EXPECT_GT(autocorrelation(sizes, 1), 0.05);
    EXPECT_GT(autocorrelation(sizes, 5), 0.05);

    // A day asked for alone is the same as within the month (a fresh sim, another order).
    SimProcess again(args);
    const std::int64_t day = kMonthStart + 17 * kDay;
    const auto alone = candles(again, "VN30F2412", day, day + kDay - 1);
    std::vector<Candle> within;
    for (const auto& c : month)
      if (c.time >= day && c.time < day + kDay) within.push_back(c);
    ASSERT_FALSE(alone.empty());
    EXPECT_TRUE(alone == within);

    if (mode.sessions) {
      // 2024-12-01 is a Sunday: 22 weekdays of 255 session minutes follow in 31 days.
      EXPECT_EQ(month.size(), 22u * 255u);
      for (const auto& c : month) {
        const auto m = local_minute(c.time);
        const bool in_session =
            (m >= 9 * 60 && m < 11 * 60 + 30) || (m >= 13 * 60 && m < 14 * 60 + 45);
        ASSERT_TRUE(local_weekday(c.time) && in_session) << c.time;
        EXPECT_GT(c.volume, 0) << c.time;
      }
    } else {
      EXPECT_EQ(month.size(), 31u * 1440u);
    }
  }
}
