#pragma once
// The whole SDK in one include; link tolbu_sdk::sdk. Strategies that care about compile time
// include only the module headers they use.
//
// The headers name Boost.JSON's and Asio's types without their definitions: code that reads
// a JSON value includes <boost/json.hpp> (or a part of it), code that awaits, spawns or runs
// the event loop includes Asio.

#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/indicators.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/kit.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/platform/number_text.hpp"
#include "tolbu_sdk/strategy/position.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"
#include "tolbu_sdk/types/account.hpp"
#include "tolbu_sdk/types/records.hpp"
#include "tolbu_sdk/utils/defaults.hpp"
#include "tolbu_sdk/utils/journal.hpp"
