#pragma once
// The JSON bodies of the order requests that carry one, read into the exchange's records.
// Each reader answers "" or a message naming the first missing or mistyped field.

#include <boost/json/object.hpp>

#include <string>

#include "market/orders.hpp"

namespace tolbu_sim {

// {"refOrderID", "accountID" (optional), "symbol", "orderSide", "stopPrice", "qty",
//  "limitPrice" (optional)}
std::string read_stop_order(const boost::json::object& body, SimStopOrder& out);
// {"symbol", "side", "account" (optional), "quantity", "orderType", "conditionPrice",
//  "conditionType", "takeProfitPrice", "stopLossPrice"}
std::string read_bracket_order(const boost::json::object& body, SimBracketOrder& out);

}  // namespace tolbu_sim
