// The risk guard: which orders it lets through, and when a loss limit halts it.

#include <gtest/gtest.h>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/kit/risk.hpp"

namespace {

namespace kit = tolbu_sdk::kit;
using kit::Side;
using tolbu_sdk::platform::make_local;

TEST(RiskGuard, OrdersThatAddRiskAreCheckedAndReductionsNeverAre) {
  struct Case {
    const char* name;
    Side side;
    std::int64_t qty, position;
    int open_positions;
    const char* refusal;  // a part of the reason, "" when it goes out
  };
  const Case cases[] = {
      {"entry within limits", Side::BUY, 10, 0, 0, ""},
      {"entry over the order limit", Side::BUY, 11, 0, 0, "over the limit of 10 per order"},
      {"build-up over the order limit", Side::SELL, 11, -5, 1, "over the limit"},
      {"a new position past the open limit", Side::SELL, 1, 0, 2, "2 positions are open"},
      {"adding to an open one at the open limit", Side::BUY, 1, 3, 2, ""},
      {"a reduction larger than the order limit", Side::SELL, 50, 60, 2, ""},
      {"a close larger than the order limit", Side::BUY, 50, -50, 2, ""},
      {"a reversal over the order limit", Side::SELL, 30, 5, 1, "over the limit"},
      {"a reversal within it", Side::SELL, 8, 5, 1, ""},
  };
  kit::RiskGuard guard({.max_order_qty = 10, .max_open_positions = 2});
  std::size_t refused = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto why = guard.check("VN30F2412", c.side, c.qty, c.position, c.open_positions);
    if (*c.refusal == '\0') {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
      ++refused;
    }
  }
  ASSERT_EQ(guard.refusals().size(), refused);
  EXPECT_EQ(guard.refusals().front().qty, 11);
  EXPECT_THROW(kit::RiskGuard({.max_daily_loss = -1}), tolbu_sdk::ValueError);
}

TEST(RiskGuard, ADailyLossHaltsUntilTheNextDayADrawdownForGood) {
  kit::RiskGuard guard({.max_daily_loss = 1000, .max_drawdown_pct = 10});
  const auto day1 = make_local(2024, 1, 2, 9, 0);
  const auto day2 = make_local(2024, 1, 3, 9, 0);
  const auto day3 = make_local(2024, 1, 4, 9, 0);
  const auto minute = std::chrono::minutes(1);

  EXPECT_FALSE(guard.update(day1, 100'000));
  EXPECT_FALSE(guard.update(day1 + minute, 99'001));         // 999 lost: within the limit
  EXPECT_TRUE(guard.update(day1 + 2 * minute, 99'000));      // 1,000 lost: halted, flatten
  EXPECT_FALSE(guard.update(day1 + 3 * minute, 98'000));     // halted already: no second signal
  EXPECT_NE(guard.check("A", Side::BUY, 1, 0, 0).find("no new risk: the day's loss"),
            std::string::npos);
  EXPECT_EQ(guard.check("A", Side::SELL, 1, 1, 1), "");     // closing is still allowed

  // The next day's loss counts from the day before's last equity (98,000).
  EXPECT_FALSE(guard.update(day2, 97'500));
  EXPECT_FALSE(guard.halted());
  EXPECT_EQ(guard.check("A", Side::BUY, 1, 0, 0), "");
  EXPECT_TRUE(guard.update(day2 + minute, 96'990));
  EXPECT_NE(guard.halt_reason().find("day's loss 1010.00"), std::string::npos);

  // 10 % below the peak halts for good, whatever the day.
  kit::RiskGuard deep({.max_daily_loss = 0, .max_drawdown_pct = 10});
  EXPECT_FALSE(deep.update(day1, 100'000));
  EXPECT_FALSE(deep.update(day1 + minute, 110'000));
  EXPECT_FALSE(deep.update(day3, 99'001));
  EXPECT_TRUE(deep.update(day3 + minute, 99'000));
  EXPECT_NE(deep.halt_reason().find("drawdown 10.00 %"), std::string::npos);
  EXPECT_FALSE(deep.update(day3 + std::chrono::days(5), 105'000));
  EXPECT_TRUE(deep.halted());
  // A refusal carries the time of the latest update.
  deep.check("A", Side::BUY, 1, 0, 0);
  EXPECT_EQ(deep.refusals().back().time, day3 + std::chrono::days(5));

  // Limits of 0 are not enforced.
  kit::RiskGuard open_ended({.max_order_qty = 0, .max_open_positions = 0, .max_daily_loss = 0,
                             .max_drawdown_pct = 0});
  EXPECT_FALSE(open_ended.update(day1, 100));
  EXPECT_FALSE(open_ended.update(day1 + minute, 1));
  EXPECT_EQ(open_ended.check("A", Side::BUY, 1'000'000, 0, 500), "");
}

}  // namespace
