#pragma once
// The strategy kit: what a strategy stands on beyond the services. Sides in one enum, typed
// execution reports and fills, a portfolio netted per symbol with fees, order checks against
// a symbol's rules, and an order manager that sends each order at most once under its own
// reference id and applies every fill once, whichever path brings it. Link tolbu_sdk::tolbu_kit.

#include "tolbu_sdk/kit/costs.hpp"
#include "tolbu_sdk/kit/fills.hpp"
#include "tolbu_sdk/kit/order_rules.hpp"
#include "tolbu_sdk/kit/orders.hpp"
#include "tolbu_sdk/kit/portfolio.hpp"
#include "tolbu_sdk/kit/risk.hpp"
#include "tolbu_sdk/kit/side.hpp"
#include "tolbu_sdk/kit/strategy.hpp"
