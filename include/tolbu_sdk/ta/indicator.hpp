#pragma once
// The base of every indicator.
//
// How to write an indicator
// -------------------------
// 1. One header and one source per indicator, in its family folder:
//    include/tolbu_sdk/ta/<family>/<name>.hpp and src/platform/ta/<family>/<name>.cpp
//    (families: averages, momentum, trend, levels, statistics, volatility, volume; shared
//    building blocks live in support/). Sources are globbed: no CMake edit is needed.
// 2. Derive from Indicator<In, Out>: In is double (fed closes) or OHLCV (fed whole bars); Out
//    is double or a record struct with std::optional fields named as in the reference
//    vectors, `bool operator==(const X&) const = default;` and `Record fields() const`
//    listing the fields in order (see values.hpp).
// 3. Constructor: parameters in the catalogue's order, then `const IndicatorOptions& options
//    = {}` handed to the base. Reject bad parameters with ValueError. Register every part
//    holding incremental state with `_manage(part)`: support blocks (RollingSum, RollingMax,
//    RollingMoments, ...) and inner indicators (members, or from make_ma()). Each managed
//    part must be pushed exactly once per call of _calculate_new_value (an inner indicator
//    may be given an absent value: `inner.add(std::optional<double>{})`), so that the base
//    can undo, reset and bound them along with the indicator. If the indicator reads its own
//    input_values()/output_values() further back than the newest, declare how far with
//    `_keep_history(n)`.
// 4. Override `std::optional<Out> _calculate_new_value()`: the value for the newest input
//    (input_values().back()), or absent during warm-up. Use input_count() for warm-up
//    tests (it is not reduced by a bounded history). During the call output_values() does
//    not yet hold the new slot: output_values().back() is the previous output. Validate
//    before changing state: a throw leaves the managed parts as they are.
// 5. Any other state that changes per input must be undone in `_on_remove()` (called before
//    the newest input and its output are dropped) and cleared in `_on_reset()`; prefer
//    managed parts or reading your own outputs, which need neither.
// 6. Build by name: declare `SMA(Params& params, const IndicatorOptions& options);` and
//    define it by reading the parameters in constructor order with the catalogue's defaults
//    (braces keep that order), then register at the end of the source (registry.hpp):
//      SMA::SMA(Params& p, const IndicatorOptions& o) : SMA{p.integer("period"), o} {}
//      TOLBU_TA_REGISTER(SMA)
//    The smart layer builds its variants through the same constructor.
// 7. Speed: O(1) per input where the mathematics allows, no allocation per input, no
//    std::function per value on the hot path. An inner indicator keeps its own input and
//    output history: where a block does the job (ExponentialAverage, RollingSum,
//    RollingWeightedSum, RollingMoments, RollingMax/RollingMin) it costs a fraction of one
//    (DEMA fell from about 4x to 1.3x an EMA this way). See averages/sma.*, averages/ema.*
//    and averages/dema.*; bench/indicators measures every indicator.
//
// Behaviour shared by all indicators: absent inputs (from a chained indicator still warming
// up) produce absent outputs and are not part of input_values(); `update` replaces the newest
// input; the options below add chaining, input modification, sampling and a bounded history.
//
// Every change is all or nothing, along the whole chain: add, update and remove check the
// input (modifier, type, finiteness, time for sampling) before anything changes, and when a
// dependent refuses the new output, the indicator and the dependents already told return to
// where they were before the exception reaches the caller. A NaN or infinite input (a number,
// or any price or the volume of an OHLCV) is refused with ValueError: it would poison every
// running sum for a long while and read as plausible values (a StdDev of 0).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/sampling.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"
#include "tolbu_sdk/ta/values.hpp"

namespace tolbu_sdk::ta {

class IndicatorBase;
class Params;  // an indicator's parameters by name (registry.hpp)

// Applied to every input before use; may return an absent Value.
using InputModifier = std::function<Value(const Value&)>;

struct IndicatorOptions {
  // Chaining: every new, updated or removed output of this indicator reaches ours. It must
  // outlive ours or be destroyed first (either way the link is cut cleanly).
  IndicatorBase* input_indicator = nullptr;
  InputModifier input_modifier{};
  // Fold inputs of the same period into one (OHLCV inputs that carry a time).
  std::optional<SamplingPeriodType> input_sampling{};
  // Keep at most this many inputs and outputs (0: everything). The indicator still keeps
  // what its own computation needs.
  std::size_t max_history = 0;
};

enum class InputKind { NUMBER, OHLCV };

// The type-independent face of an indicator: what chaining, the name-based factory and the
// smart layer use.
class IndicatorBase : public support::Undoable {
 public:
  IndicatorBase(const IndicatorBase&) = delete;
  IndicatorBase& operator=(const IndicatorBase&) = delete;
  ~IndicatorBase() override;

  virtual InputKind input_kind() const = 0;

  // Dynamic input: a number, an OHLCV or absent; the input modifier applies first.
  virtual void add_value(const Value& v) = 0;
  virtual void update_value(const Value& v) = 0;
  // Drops the newest input and its output; nothing happens when there is none.
  virtual void remove() = 0;
  virtual void remove_all() = 0;
  // Drops the n oldest outputs (and their inputs), keeping what the computation needs.
  virtual void purge_oldest(std::size_t n) = 0;
  // Number of outputs held.
  virtual std::size_t size() const = 0;
  bool empty() const { return size() == 0; }
  // The output at index i (negative: from the newest), as a dynamic value.
  virtual Value output_value(std::ptrdiff_t i) const = 0;

  IndicatorBase* input_indicator() const { return _source; }
  const InputModifier& input_modifier() const { return _modifier; }
  std::optional<SamplingPeriodType> input_sampling() const { return _sampling; }
  std::size_t max_history() const { return _max_history; }
  // Bounds the history from now on (0: unbounded).
  void set_max_history(std::size_t n) { set_history_limit(n); }

  void undo() override { remove(); }
  void reset() override { remove_all(); }
  // A part of another indicator does not check its inputs for finiteness: an overflow in its
  // owner's arithmetic shows as an infinite value, not as a throw in mid-computation.
  void mark_as_part() override { _checks_input = false; }

 protected:
  explicit IndicatorBase(const IndicatorOptions& options);

  enum class Event { ADD, UPDATE, REMOVE, CLEAR };
  bool _has_dependents() const { return !_dependents.empty(); }
  // Tells every dependent; if one throws, those told before it are put back (`old` is the
  // output an UPDATE or REMOVE replaced) and the exception goes on.
  void _notify(Event e, const Value& v, const Value& old);
  // Takes in the outputs the input indicator held when this one was made; runs on first use.
  void _sync() const {
    if (_pending_catch_up) [[unlikely]]
      const_cast<IndicatorBase*>(this)->_catch_up();
  }

  std::size_t _max_history = 0;
  InputModifier _modifier;
  std::optional<SamplingPeriodType> _sampling;
  bool _checks_input = true;  // false for a part of another indicator

 private:
  void _on_source_event(Event e, const Value& v);
  void _undo_source_event(Event e, const Value& old) noexcept;
  void _catch_up();
  void _detach();

  IndicatorBase* _source = nullptr;
  std::vector<IndicatorBase*> _dependents;
  bool _pending_catch_up = false;
};

namespace detail {
template <class In>
In from_value(const Value& v);
template <>
double from_value<double>(const Value& v);
template <>
OHLCV from_value<OHLCV>(const Value& v);
// Whether b falls in the same sampling period as a (both must carry a time).
bool same_period(SamplingPeriodType p, const OHLCV& a, const OHLCV& b);
[[noreturn]] void throw_nothing_to_update();
[[noreturn]] void throw_not_finite(double v);
inline void check_finite(double v) {
  if (!std::isfinite(v)) [[unlikely]]
    throw_not_finite(v);
}
inline void check_finite(const OHLCV& b) {
  check_finite(b.open);
  check_finite(b.high);
  check_finite(b.low);
  check_finite(b.close);
  check_finite(b.volume);
}
[[noreturn]] void throw_no_time();
[[noreturn]] void throw_history_too_short();
void check_sampling_allowed(bool input_has_time, const IndicatorOptions& o);
}  // namespace detail

template <class In, class Out>
class Indicator : public IndicatorBase {
  static_assert(std::is_same_v<In, double> || std::is_same_v<In, OHLCV>,
                "indicators take numbers or OHLCV");

 public:
  using input_type = In;
  using output_type = Out;

  InputKind input_kind() const override {
    return std::is_same_v<In, double> ? InputKind::NUMBER : InputKind::OHLCV;
  }

  void add(const In& v) {
    _sync();
    if (_modifier) {
      Indicator::add_value(to_value(v));  // not virtual: a wrapper's add_value may route elsewhere
      return;
    }
    _accept(v);
  }
  // An absent input gives an absent output.
  void add(const std::optional<In>& v) {
    if (v) {
      add(*v);
    } else {
      _sync();
      _accept_absent();
    }
  }
  void add(std::initializer_list<In> values) {
    for (const auto& v : values) add(v);
  }
  template <class Range>
  requires requires(const Range& r) {
    r.begin();
    r.end();
  }
  void add(const Range& values) {
    for (const auto& v : values) add(v);
  }

  void add_value(const Value& v) override {
    _sync();
    if (const Value* m = _modified(v)) {
      _accept(detail::from_value<In>(*m));
    } else {
      _accept_absent();
    }
  }

  // Replaces the newest input. Everything is checked before anything changes.
  void update(const In& v) {
    _sync();
    if (_outputs.empty()) detail::throw_nothing_to_update();
    if (_modifier) {
      Indicator::update_value(to_value(v));
      return;
    }
    _replace(&v);
  }

  void update_value(const Value& v) override {
    _sync();
    if (_outputs.empty()) detail::throw_nothing_to_update();
    if (const Value* m = _modified(v)) {
      const In x = detail::from_value<In>(*m);
      _replace(&x);
    } else {
      _replace(nullptr);
    }
  }

  void remove() override {
    _sync();
    if (_outputs.empty()) return;
    if (!_has_dependents()) {
      _remove_newest();
      return;
    }
    const Slot old = _newest_slot();
    const Value old_output = to_value(_outputs.back());
    _remove_newest();
    try {
      _notify(Event::REMOVE, Value{}, old_output);
    } catch (...) {
      _restore(old);
      throw;
    }
  }

  void remove_all() override {
    _sync();
    _inputs.clear();
    _outputs.clear();
    _had_input.clear();
    for (auto* p : _parts) p->reset();
    _on_reset();
    _input_count = 0;
    _dropped = false;
    if (_has_dependents()) _notify(Event::CLEAR, Value{}, Value{});
  }

  void purge_oldest(std::size_t n) override {
    _sync();
    std::size_t inputs = 0;
    std::size_t k = 0;
    for (; k < n && k < _outputs.size(); ++k) {
      if (_had_input.from_front(k)) {
        if (_inputs.size() - inputs <= _keep) break;
        ++inputs;
      }
    }
    if (k == 0) return;
    _outputs.pop_front(k);
    _had_input.pop_front(k);
    _inputs.pop_front(inputs);
    _dropped = true;
  }

  std::size_t size() const override {
    _sync();
    return _outputs.size();
  }

  Value output_value(std::ptrdiff_t i) const override { return to_value(output_values()[i]); }

  // Inputs held, oldest first; absent inputs are not among them.
  const support::RingBuffer<In>& input_values() const {
    _sync();
    return _inputs;
  }
  // Outputs held, oldest first, one per input (absent during warm-up).
  const support::RingBuffer<std::optional<Out>>& output_values() const {
    _sync();
    return _outputs;
  }
  // Checked; negative indices count from the newest.
  const std::optional<Out>& operator[](std::ptrdiff_t i) const { return output_values()[i]; }
  // The newest output; absent when there is none yet.
  std::optional<Out> value() const {
    _sync();
    return _outputs.empty() ? std::nullopt : _outputs.back();
  }
  // Present inputs taken in (less those removed), including any a bounded history dropped.
  std::size_t input_count() const {
    _sync();
    return _input_count;
  }

  void set_history_limit(std::size_t n) override {
    _max_history = n;
    const std::size_t cap = n == 0 ? 0 : std::max(n, _keep + 1);
    _inputs.set_max_size(cap);
    _outputs.set_max_size(cap);
    _had_input.set_max_size(cap);
    for (auto* p : _parts) p->set_history_limit(n);
  }

 protected:
  explicit Indicator(const IndicatorOptions& options) : IndicatorBase(options) {
    detail::check_sampling_allowed(std::is_same_v<In, OHLCV>, options);
    if (options.max_history != 0) set_history_limit(options.max_history);
  }

  virtual std::optional<Out> _calculate_new_value() = 0;
  // Called before the newest present input and its output are dropped.
  virtual void _on_remove() {}
  virtual void _on_reset() {}

  void _manage(support::Undoable& part) {
    part.mark_as_part();
    _parts.push_back(&part);
    if (_max_history != 0) part.set_history_limit(_max_history);
  }
  // The computation reads inputs/outputs up to n - 1 places back from the newest.
  void _keep_history(std::size_t n) {
    _keep = std::max(_keep, n);
    if (_max_history != 0) set_history_limit(_max_history);
  }
  // The newest present output before the slot being computed; absent if there is none.
  std::optional<Out> _previous_output() const {
    for (std::size_t k = 0; k < _outputs.size(); ++k) {
      if (_outputs.back(k)) return _outputs.back(k);
    }
    return std::nullopt;
  }

 private:
  // The newest slot: its input, if it had one.
  struct Slot {
    bool present = false;
    In input{};
  };

  // The modified input, or null when it is absent.
  const Value* _modified(const Value& v) {
    if (_modifier) {
      _scratch = _modifier(v);
      return std::holds_alternative<std::monostate>(_scratch) ? nullptr : &_scratch;
    }
    return std::holds_alternative<std::monostate>(v) ? nullptr : &v;
  }

  void _check(const In& v) const {
    if (_checks_input) detail::check_finite(v);
    if constexpr (std::is_same_v<In, OHLCV>) {
      if (_sampling && !v.time) detail::throw_no_time();
    }
  }

  // A new input; one of the same sampling period as the newest replaces it.
  void _accept(const In& v) {
    _check(v);
    if constexpr (std::is_same_v<In, OHLCV>) {
      if (_sampling && !_outputs.empty() && _had_input.back() &&
          detail::same_period(*_sampling, _inputs.back(), v)) {
        _replace(&v);
        return;
      }
    }
    _push_present(v);
    _announce_newest();
  }

  void _accept_absent() {
    _push_absent();
    _announce_newest();
  }

  // Tells the dependents of the newest output; if one refuses it, the output goes again.
  void _announce_newest() {
    if (!_has_dependents()) return;
    try {
      _notify(Event::ADD, to_value(_outputs.back()), Value{});
    } catch (...) {
      _remove_newest();
      throw;
    }
  }

  // Puts `v` (absent when null) in place of the newest input; a throw, here or in a dependent,
  // leaves everything as it was.
  void _replace(const In* v) {
    if (v != nullptr) _check(*v);
    const Slot old = _newest_slot();
    const Value old_output = _has_dependents() ? to_value(_outputs.back()) : Value{};
    _remove_newest();
    try {
      if (v != nullptr) {
        _push_present(*v);
      } else {
        _push_absent();
      }
    } catch (...) {
      _restore(old);
      throw;
    }
    if (!_has_dependents()) return;
    try {
      _notify(Event::UPDATE, to_value(_outputs.back()), old_output);
    } catch (...) {
      _remove_newest();
      _restore(old);
      throw;
    }
  }

  Slot _newest_slot() const {
    if (!_had_input.back()) return {};
    return {true, _inputs.back()};
  }
  // Puts back a slot just removed, without telling the dependents.
  void _restore(const Slot& s) {
    if (s.present) {
      _push_present(s.input);
    } else {
      _push_absent();
    }
  }

  void _push_present(const In& v) {
    const bool drops = _inputs.max_size() != 0 && _inputs.size() == _inputs.max_size();
    _inputs.push_back(v);
    ++_input_count;
    std::optional<Out> out;
    try {
      out = _calculate_new_value();
    } catch (...) {
      _inputs.pop_back();
      --_input_count;
      throw;
    }
    if (drops) _dropped = true;
    _outputs.push_back(std::move(out));
    _had_input.push_back(1);
  }

  void _push_absent() {
    _outputs.push_back(std::nullopt);
    _had_input.push_back(0);
  }

  void _remove_newest() {
    if (_had_input.back()) {
      if (_dropped && _inputs.size() <= _keep) detail::throw_history_too_short();
      _on_remove();
      for (auto it = _parts.rbegin(); it != _parts.rend(); ++it) (*it)->undo();
      _inputs.pop_back();
      --_input_count;
    }
    _outputs.pop_back();
    _had_input.pop_back();
  }

  support::RingBuffer<In> _inputs;
  support::RingBuffer<std::optional<Out>> _outputs;
  support::RingBuffer<std::uint8_t> _had_input;  // per output: whether an input was present
  std::vector<support::Undoable*> _parts;
  std::size_t _input_count = 0;
  std::size_t _keep = 1;
  bool _dropped = false;  // whether a bounded history or a purge dropped inputs
  Value _scratch;
};

}  // namespace tolbu_sdk::ta
