#pragma once
// The exchange's records in the SDK's wire layouts (tolbu_sdk/types/records.hpp), as the REST
// answers, the execution reports and the account queries carry them.

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <cstdint>

#include "market/accounts.hpp"
#include "market/market.hpp"
#include "market/orders.hpp"

namespace tolbu_sim::layouts {

boost::json::object order(const SimOrder& order);  // the OrderData layout, with "fee"
boost::json::object trade(const SimTrade& trade);  // the Trade layout
boost::json::object stop_order(const SimStopOrder& stop);
boost::json::object bracket_order(const SimBracketOrder& bracket);
// Trading rules with the day's price limits around the previous close.
boost::json::object product_info(Market& market, const Instrument& instrument, std::int64_t at_ms);
boost::json::object product_master(Market& market, const Instrument& instrument,
                                   std::int64_t at_ms);
// Every account with its positions marked at the price now, equity and margin.
boost::json::array accounts(const Accounts& accounts, Market& market, std::int64_t now_ms);

// Rounded to the decimals given (money to the cent, prices to the micro-unit).
double round_to(double value, int decimals);

}  // namespace tolbu_sim::layouts
