#include "tolbu_sdk/strategy/bar.hpp"

#include <utility>

#include "tolbu_sdk/types/records.hpp"

namespace tolbu_sdk::strategy {

Bar Bar::from_candle(const types::Candle& candle, std::string symbol) {
  return Bar{std::move(symbol), platform::from_epoch_ms(static_cast<double>(candle.time)),
             candle.open,       candle.high,
             candle.low,        candle.close,
             candle.volume};
}

}  // namespace tolbu_sdk::strategy
