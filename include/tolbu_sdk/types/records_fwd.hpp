#pragma once
// The record types by name only, for headers that pass them by reference; their definitions
// are in tolbu_sdk/types/records.hpp.

namespace tolbu_sdk::types {

struct Candle;
struct DepthLevel;
struct Depth;
struct ProductInfo;
struct ProductStat;
struct ProductMaster;
struct OrderData;
struct Trade;
struct OrderResponse;

}  // namespace tolbu_sdk::types
