#pragma once
// The averages that start from the simple average of their first `period` inputs and then
// step from their own previous value (EMA, SMMA, McGinley Dynamic).

#include <cstddef>
#include <optional>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"

namespace tolbu_sdk::ta::detail {

// Absent before `period` inputs, their simple average at the period-th, then step(newest).
template <class Step>
std::optional<double> seeded_average(const support::RingBuffer<double>& in, std::size_t count,
                                     int period, Step&& step) {
  const auto p = static_cast<std::size_t>(period);
  if (count < p) return std::nullopt;
  if (count == p) {
    double sum = 0.0;
    for (std::size_t k = p; k-- > 0;) sum += in.back(k);
    return sum / period;
  }
  return step(in.back());
}

}  // namespace tolbu_sdk::ta::detail
