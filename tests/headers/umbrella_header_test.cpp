// The whole SDK in one include names Boost.JSON and Asio types without their definitions:
// records, services, the stream and the control API are declared from forward declarations.

#include "tolbu_sdk/tolbu_sdk.hpp"

#if defined(BOOST_JSON_VALUE_HPP) || defined(BOOST_JSON_OBJECT_HPP) || \
    defined(BOOST_JSON_ARRAY_HPP) || defined(BOOST_JSON_STORAGE_PTR_HPP)
#error "tolbu_sdk.hpp includes Boost.JSON's value types"
#endif
#if defined(BOOST_ASIO_DETAIL_CONFIG_HPP)
#error "tolbu_sdk.hpp includes Asio"
#endif
#if defined(FMT_FORMAT_H_)
#error "tolbu_sdk.hpp includes <fmt/format.h>"
#endif

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace {

// The awaitable twins are declared with Asio's awaitable, named without its header.
using Twin =
    decltype(std::declval<tolbu_sdk::features::MarketDataService&>().async_get_margin_rate(""));
static_assert(std::is_same_v<Twin, tolbu_sdk::platform::detail::awaitable<double>>);

namespace types = tolbu_sdk::types;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::Symbol;

TEST(UmbrellaHeader, RecordsFeedTheStrategyTypes) {
  Symbol s{"VN30F1M"};
  s.update_from_stat(
      {"VN30F1M", 0, 1250.2, 1250.1, 1250.3, 1200, 1245, 1252, 1243.5, 1250.2, 5.2, 0.42});
  EXPECT_EQ(s.spread(), 1250.3 - 1250.1);
  const Bar bar = Bar::from_candle({1700000000000, 25.1, 25.6, 25.0, 25.4, 120300}, "FPT");
  EXPECT_EQ(bar.close, 25.4);
  EXPECT_EQ(tolbu_sdk::platform::to_epoch_ms_int(bar.time), 1700000000000);
}

TEST(UmbrellaHeader, OrderResponseCopiesAndComparesItsJsonOpaquely) {
  types::OrderResponse a{.success = true, .status = 200, .order_id = "O-1"};
  types::OrderResponse b = a;
  EXPECT_TRUE(a == b);
  b.ref_order_id = "R-1";
  EXPECT_FALSE(a == b);
  types::OrderResponse c = std::move(b);
  EXPECT_EQ(c.ref_order_id, "R-1");
}

}  // namespace
