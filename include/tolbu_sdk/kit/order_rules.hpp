#pragma once
// An order checked against its symbol's trading rules before it is sent, so that a wrong
// quantity or price is a clear error here rather than a refusal from the back end.

#include <cstdint>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"

namespace tolbu_sdk::kit {

// A ValueError naming the rule broken: a quantity that is not positive, not a whole number
// of lots, below the minimum or above the maximum; a limit price (not 0, which is a market
// order) that is not finite and positive or not on the tick grid.
TOLBU_API void check_order(const strategy::Symbol& symbol, std::int64_t qty, double price = 0.0);

}  // namespace tolbu_sdk::kit
