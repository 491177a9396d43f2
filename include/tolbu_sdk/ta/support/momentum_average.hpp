#pragma once
// A moving average inside a composite indicator, without the cost of a whole inner indicator
// per value: SMA and EMA (the usual choices) are computed here, with exactly the arithmetic of
// the SMA and EMA indicators; any other MAType is delegated to make_ma(). Like an inner
// indicator it takes one push per input of its owner, present or absent; an absent push gives
// an absent value and leaves the average as it was.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Moving average block of any MAType, SMA and EMA computed in place, one push per input.
class TOLBU_API MomentumAverage final : public Undoable {
 public:
  // An average of kind `type` over `period` values; ValueError for a period below 1, and for
  // VWMA (it needs bars).
  MomentumAverage(MAType type, int period)
      : type_(type),
        period_(static_cast<std::size_t>(period)),
        alpha_(2.0 / (period + 1.0)),
        resum_every_(64 * static_cast<std::size_t>(period < 1 ? 1 : period) + 1024) {
    if (period < 1) throw ValueError("a moving average needs a period of at least 1");
    if (type_ != MAType::SMA && type_ != MAType::EMA) other_ = make_ma(type, period);
  }

  // Values in the average.
  int period() const { return static_cast<int>(period_); }

  // Adds `x` (absent: the owner's input was absent) and returns the newest value; absent
  // during warm-up and after an absent push.
  std::optional<double> push(std::optional<double> x) {
    if (x ? add(*x) : add_absent()) return current();
    return std::nullopt;
  }

  // The same without optionals, for hot loops (GCC builds and copies an optional<double>
  // through memory, a store-forwarding stall per value): whether there is a value now, which
  // current() reads.
  bool add(double x) {
    if (other_) [[unlikely]]
      return add_other(x);
    Entry e = newest_;
    const bool full_before = e.count >= period_;
    if (e.count <= period_) ++e.count;  // only compared with the period
    e.x = x;
    e.absent_before = absent_;
    absent_ = 0;
    if (type_ == MAType::SMA) {
      // The arithmetic of RollingSum, which the SMA indicator uses.
      e.acc += x;
      if (full_before) e.acc -= entries_.back(period_ - 1).x;
      if (++e.since_resum >= resum_every_) [[unlikely]]
        resum(e);
    } else if (e.count < period_) {
      e.acc += x;  // the seed's sum
    } else if (e.count == period_) {
      e.acc = (e.acc + x) / static_cast<double>(period_);
    } else {
      e.acc += alpha_ * (x - e.acc);
    }
    entries_.push_back(e);
    newest_ = e;
    return e.count >= period_;
  }
  // The absent push of push(), likewise without optionals: never gives a value.
  bool add_absent() {
    if (other_) [[unlikely]]
      return add_other(std::nullopt);
    ++absent_;
    return false;
  }
  // The newest value, when there is one.
  double current() const {
    if (other_) [[unlikely]]
      return *other_->value();
    return type_ == MAType::SMA ? newest_.acc / static_cast<double>(period_) : newest_.acc;
  }

  // The newest value; absent during warm-up and after an absent push.
  std::optional<double> value() const {
    if (other_) [[unlikely]]
      return other_->value();
    if (absent_ != 0 || newest_.count < period_) return std::nullopt;
    return current();
  }

  void undo() override {
    if (other_) [[unlikely]] {
      other_->remove();
      return;
    }
    if (absent_ != 0) {
      --absent_;
    } else if (!entries_.empty()) {
      absent_ = entries_.back().absent_before;
      entries_.pop_back();
      newest_ = entries_.empty() ? Entry{} : entries_.back();
    }
  }
  void reset() override {
    if (other_) other_->remove_all();
    entries_.clear();
    newest_ = Entry{};
    absent_ = 0;
  }
  void set_history_limit(std::size_t n) override {
    if (other_) other_->set_history_limit(n);
    entries_.set_max_size(n == 0 ? 0 : n + period_);
  }
  void mark_as_part() override {
    if (other_) other_->mark_as_part();
  }

 private:
  // One per present push: the value and the state after it, so that an undo is a pop.
  struct Entry {
    double x = 0.0;
    double acc = 0.0;         // SMA: the window's sum; EMA: the seed's sum, then the average
    std::uint32_t count = 0;  // present values so far, up to period + 1
    std::uint32_t absent_before = 0;  // absent pushes between the previous entry and this one
    std::size_t since_resum = 0;      // SMA: pushes since the sum was recomputed
  };

  [[gnu::noinline]] bool add_other(std::optional<double> x) {
    other_->add(x);
    return other_->value().has_value();
  }

  // Adding and subtracting drifts over a long run: the window is summed afresh now and then.
  // `e` is the entry being pushed, the newest value of the window.
  void resum(Entry& e) const {
    e.since_resum = 0;
    const std::size_t n = std::min(entries_.size() + 1, period_);
    double sum = 0.0;
    for (std::size_t k = n - 1; k-- > 0;) sum += entries_.back(k).x;
    e.acc = sum + e.x;
  }

  MAType type_;
  std::size_t period_;
  double alpha_;
  std::size_t resum_every_;
  RingBuffer<Entry> entries_;
  Entry newest_;              // entries_.back(), or the empty state
  std::uint32_t absent_ = 0;  // absent pushes since the newest entry
  std::unique_ptr<Indicator<double, double>> other_;
};

}  // namespace tolbu_sdk::ta::support
