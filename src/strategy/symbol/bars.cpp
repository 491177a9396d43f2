#include "tolbu_sdk/strategy/bars.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::strategy {

Bars::Bars(int max_bars) : _max_bars(max_bars) {
  if (max_bars < 0)
    throw ValueError(fmt::format("max_bars must not be negative, got {}", max_bars));
}

std::optional<Bar> Bars::operator[](std::int64_t index) const {
  // Both signs count back from the newest bar; unsigned magnitude avoids overflow at the limits.
  const std::uint64_t back = index < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(index)
                                       : static_cast<std::uint64_t>(index);
  if (back >= _size) return std::nullopt;
  return at_logical(_size - 1 - static_cast<std::size_t>(back));
}

template <class B>
void Bars::add_impl(B&& bar) {
  const auto cap = static_cast<std::size_t>(_max_bars);
  if (cap == 0 || _size < cap) {
    // Still growing: storage is contiguous from _head == 0.
    _bars.push_back(std::forward<B>(bar));
    ++_size;
    return;
  }
  // Full: overwrite the oldest in place (its string buffer is reused) and move the head on.
  _bars[_head] = std::forward<B>(bar);
  if (++_head == cap) _head = 0;
}

void Bars::add(const Bar& bar) { add_impl(bar); }
void Bars::add(Bar&& bar) { add_impl(std::move(bar)); }

void Bars::update(const Bar& bar) {
  if (_size == 0) return add_impl(bar);
  newest() = bar;
}

void Bars::update(Bar&& bar) {
  if (_size == 0) return add_impl(std::move(bar));
  newest() = std::move(bar);
}

Bars::Runs Bars::runs_from(std::size_t start) const noexcept {
  const std::size_t n = _size - start;
  std::size_t i = _head + start;
  if (i >= _bars.size()) i -= _bars.size();
  const std::size_t first = std::min(n, _bars.size() - i);
  return {_bars.data() + i, first, _bars.data(), n - first};
}

void Bars::load(std::span<const Bar> bars) {
  std::size_t first = 0;
  if (_max_bars > 0 && bars.size() > static_cast<std::size_t>(_max_bars))
    first = bars.size() - static_cast<std::size_t>(_max_bars);
  std::vector<Bar> copy(bars.begin() + static_cast<std::ptrdiff_t>(first), bars.end());
  if (_max_bars > 0) copy.reserve(static_cast<std::size_t>(_max_bars));
  _bars = std::move(copy);
  _head = 0;
  _size = _bars.size();
}

std::size_t Bars::window_start(int count, const char* name) const {
  if (count < 0) throw ValueError(fmt::format("{} must not be negative, got {}", name, count));
  const auto n = static_cast<std::size_t>(count);
  return n == 0 || n >= _size ? 0 : _size - n;
}

template <class Field>
std::vector<double> Bars::series(int count, const char* name, Field field) const {
  std::vector<double> out;
  const std::size_t start = window_start(count, name);
  out.reserve(_size - start);
  for (std::size_t i = start; i < _size; ++i) out.push_back(at_logical(i).*field);
  return out;
}

std::vector<double> Bars::closes(int count) const { return series(count, "count", &Bar::close); }
std::vector<double> Bars::opens(int count) const { return series(count, "count", &Bar::open); }
std::vector<double> Bars::highs(int count) const { return series(count, "count", &Bar::high); }
std::vector<double> Bars::lows(int count) const { return series(count, "count", &Bar::low); }
std::vector<double> Bars::volumes(int count) const { return series(count, "count", &Bar::volume); }

namespace {

// The value of `field` that `better` prefers over the two runs of a window (not empty).
template <class Runs, class Better>
double extreme(const Runs& r, double Bar::*field, Better better) {
  double best = r.first->*field;
  for (std::size_t i = 1; i < r.first_size; ++i)
    if (better(r.first[i].*field, best)) best = r.first[i].*field;
  for (std::size_t i = 0; i < r.second_size; ++i)
    if (better(r.second[i].*field, best)) best = r.second[i].*field;
  return best;
}

}  // namespace

double Bars::highest(int period) const {
  const std::size_t start = window_start(period, "period");
  if (start == _size) return 0.0;
  return extreme(runs_from(start), &Bar::high, std::greater<>());
}

double Bars::lowest(int period) const {
  const std::size_t start = window_start(period, "period");
  if (start == _size) return 0.0;
  return extreme(runs_from(start), &Bar::low, std::less<>());
}

double Bars::sma(int period) const {
  const std::size_t start = window_start(period, "period");
  if (start == _size) return 0.0;
  const Runs r = runs_from(start);
  double sum = 0.0;
  for (std::size_t i = 0; i < r.first_size; ++i) sum += r.first[i].close;
  for (std::size_t i = 0; i < r.second_size; ++i) sum += r.second[i].close;
  return sum / static_cast<double>(_size - start);
}

double Bars::ema(int period) const {
  const std::size_t start = window_start(period, "period");
  if (start == _size) return 0.0;
  // k comes from the period; for period 0 (the whole history) from the window's length, since
  // k = 2 / (0 + 1) = 2 would make the average swing instead of smoothing.
  const double n = period > 0 ? static_cast<double>(period) : static_cast<double>(_size - start);
  const double k = 2.0 / (n + 1.0);
  const double keep = 1.0 - k;
  const Runs r = runs_from(start);
  double e = r.first->close;
  for (std::size_t i = 1; i < r.first_size; ++i) e = r.first[i].close * k + e * keep;
  for (std::size_t i = 0; i < r.second_size; ++i) e = r.second[i].close * k + e * keep;
  return e;
}

bool Bars::operator==(const Bars& other) const {
  if (_max_bars != other._max_bars || _size != other._size) return false;
  for (std::size_t i = 0; i < _size; ++i)
    if (!(at_logical(i) == other.at_logical(i))) return false;
  return true;
}

}  // namespace tolbu_sdk::strategy
