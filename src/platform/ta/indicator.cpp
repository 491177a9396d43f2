#include "tolbu_sdk/ta/indicator.hpp"

#include <algorithm>
#include <string>

#include <fmt/format.h>

namespace tolbu_sdk::ta {

IndicatorBase::IndicatorBase(const IndicatorOptions& options)
    : max_history_(options.max_history),
      modifier_(options.input_modifier),
      sampling_(options.input_sampling),
      source_(options.input_indicator) {
  if (source_ != nullptr) {
    source_->dependents_.push_back(this);
    pending_catch_up_ = source_->size() > 0;
  }
}

IndicatorBase::~IndicatorBase() { _detach(); }

void IndicatorBase::_detach() {
  if (source_ != nullptr) {
    auto& deps = source_->dependents_;
    deps.erase(std::remove(deps.begin(), deps.end(), this), deps.end());
    source_ = nullptr;
  }
  for (IndicatorBase* d : dependents_) d->source_ = nullptr;
  dependents_.clear();
}

void IndicatorBase::_notify(Event e, const Value& v, const Value& old) {
  for (std::size_t i = 0; i < dependents_.size(); ++i) {
    try {
      dependents_[i]->_on_source_event(e, v);
    } catch (...) {
      for (std::size_t j = i; j-- > 0;) dependents_[j]->_undo_source_event(e, old);
      throw;
    }
  }
}

void IndicatorBase::_undo_source_event(Event e, const Value& old) noexcept {
  // Replays what this indicator took before, so it cannot fail unless it is broken already;
  // the exception on its way to the caller is the one worth reporting.
  try {
    switch (e) {
      case Event::ADD:
        remove();
        break;
      case Event::UPDATE:
        update_value(old);
        break;
      case Event::REMOVE:
        add_value(old);
        break;
      case Event::CLEAR:
        break;
    }
  } catch (...) {
  }
}

void IndicatorBase::_on_source_event(Event e, const Value& v) {
  if (pending_catch_up_) {
    // The source's outputs already include this event.
    _catch_up();
    return;
  }
  switch (e) {
    case Event::ADD:
      add_value(v);
      break;
    case Event::UPDATE:
      update_value(v);
      break;
    case Event::REMOVE:
      remove();
      break;
    case Event::CLEAR:
      remove_all();
      break;
  }
}

void IndicatorBase::_catch_up() {
  pending_catch_up_ = false;
  if (source_ == nullptr) return;
  const std::size_t n = source_->size();
  for (std::size_t i = 0; i < n; ++i)
    add_value(source_->output_value(static_cast<std::ptrdiff_t>(i)));
}

namespace detail {

template <>
double from_value<double>(const Value& v) {
  if (const double* d = std::get_if<double>(&v)) return *d;
  throw TypeError(std::string("input must be a number, not ") + std::string(kind_name(v)) +
                  " (give an input_modifier to pick a number)");
}

template <>
OHLCV from_value<OHLCV>(const Value& v) {
  if (const OHLCV* o = std::get_if<OHLCV>(&v)) return *o;
  throw TypeError(std::string("input must be an OHLCV, not ") + std::string(kind_name(v)));
}

bool same_period(SamplingPeriodType p, const OHLCV& a, const OHLCV& b) {
  if (!a.time || !b.time) throw ValueError("input_sampling needs inputs that carry a time");
  return period_start(p, *a.time) == period_start(p, *b.time);
}

void throw_no_time() { throw ValueError("input_sampling needs inputs that carry a time"); }

void throw_not_finite(double v) {
  throw ValueError(fmt::format("input must be a finite number, not {}", v));
}

void throw_nothing_to_update() { throw ValueError("update needs an input to replace"); }

void throw_history_too_short() {
  throw ValueError("cannot remove: the bounded history no longer holds what the indicator needs");
}

void check_sampling_allowed(bool input_has_time, const IndicatorOptions& o) {
  if (o.input_sampling && !input_has_time) {
    throw ValueError("input_sampling needs OHLCV inputs that carry a time");
  }
}

}  // namespace detail
}  // namespace tolbu_sdk::ta
