#pragma once
// The base of every indicator.
//
// How to write an indicator
// -------------------------
// 1. One header and one source per indicator, in its family folder:
//    `include/tolbu_sdk/ta/<family>/<name>.hpp` and `src/platform/ta/<family>/<name>.cpp`
//    (families: averages, momentum, trend, levels, statistics, volatility, volume; shared
//    building blocks live in support/). Sources are globbed: no CMake edit is needed.
// 2. Derive from Indicator<In, Out>: In is double (fed closes) or OHLCV (fed whole bars); Out
//    is double or a record struct with std::optional fields named as in the reference
//    vectors, `bool operator==(const X&) const = default;` and `Record fields() const`
//    listing the fields in order (see values.hpp). An indicator over a window of `period`
//    inputs derives from PeriodIndicator<In, Out>, which holds and reports the period.
// 3. Constructor: parameters in the catalogue's order, then `const IndicatorOptions& options
//    = {}` handed to the base. Reject bad parameters with ValueError. Register every part
//    holding incremental state with `_manage(part)`: support blocks (RollingSum, RollingMax,
//    RollingMoments, ...) and inner indicators (members, or from make_ma()). Each managed
//    part must be pushed exactly once per call of _calculate_new_value (an inner indicator
//    may be given an absent value: `inner.add(std::optional<double>{})`), so that the base
//    can undo, reset and bound them along with the indicator. If the indicator reads its own
//    input_values()/output_values() further back than the newest, declare how far with
//    `_keep_history(n)`. A block that is pushed on only some inputs cannot be managed: bound
//    it with _history_cap() in the constructor and in an override of set_history_limit.
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
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/sampling.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"
#include "tolbu_sdk/ta/values.hpp"

// The incremental indicator library: typed indicators fed numbers or bars, chained, resampled
// and built by name.
namespace tolbu_sdk::ta {

class IndicatorBase;
class Params;  // an indicator's parameters by name (registry.hpp)

// Anything iterable that add() takes value by value.
template <class R>
concept InputRange = requires(const R& r) {
  r.begin();
  r.end();
};

// Applied to every input before use; may return an absent Value.
using InputModifier = std::function<Value(const Value&)>;

// How an indicator is fed and how much it keeps; every field may stay at its default.
struct TOLBU_API IndicatorOptions {
  // Chaining: every new, updated or removed output of this indicator reaches ours. It must
  // outlive ours or be destroyed first (either way the link is cut cleanly).
  IndicatorBase* input_indicator = nullptr;
  InputModifier input_modifier{};  // applied to every input first, see InputModifier
  // Fold inputs of the same period into one (OHLCV inputs that carry a time).
  std::optional<SamplingPeriodType> input_sampling{};
  // Keep at most this many inputs and outputs (0: everything). The indicator still keeps
  // what its own computation needs.
  std::size_t max_history = 0;
};

// What an indicator takes in: numbers (closes, another indicator's outputs) or whole bars.
enum class InputKind { NUMBER, OHLCV };

// The type-independent face of an indicator: what chaining, the name-based factory and the
// smart layer use.
class TOLBU_API IndicatorBase : public support::Undoable {
 public:
  IndicatorBase(const IndicatorBase&) = delete;
  IndicatorBase& operator=(const IndicatorBase&) = delete;
  ~IndicatorBase() override;

  // Whether add_value() expects numbers or OHLCV bars.
  virtual InputKind input_kind() const = 0;

  // Dynamic input: a number, an OHLCV or absent; the input modifier applies first.
  virtual void add_value(const Value& v) = 0;
  // Replaces the newest input with `v` (absent: the newest output becomes absent); ValueError
  // when there is no input yet.
  virtual void update_value(const Value& v) = 0;
  // Drops the newest input and its output; nothing happens when there is none.
  virtual void remove() = 0;
  // Drops every input and output and restarts the computation; dependents are cleared too.
  virtual void remove_all() = 0;
  // Drops the n oldest outputs (and their inputs), keeping what the computation needs.
  virtual void purge_oldest(std::size_t n) = 0;
  // Number of outputs held.
  virtual std::size_t size() const = 0;
  // Whether no output is held.
  bool empty() const { return size() == 0; }
  // The output at index i (negative: from the newest), as a dynamic value.
  virtual Value output_value(std::ptrdiff_t i) const = 0;

  // The indicator whose outputs feed this one, or null.
  IndicatorBase* input_indicator() const { return source_; }
  // The function applied to every input first (empty: none).
  const InputModifier& input_modifier() const { return modifier_; }
  // The period inputs are folded into, when sampling is on.
  std::optional<SamplingPeriodType> input_sampling() const { return sampling_; }
  // The bound on held inputs and outputs (0: unbounded).
  std::size_t max_history() const { return max_history_; }
  // Bounds the history from now on (0: unbounded).
  void set_max_history(std::size_t n) { set_history_limit(n); }

  void undo() override { remove(); }
  void reset() override { remove_all(); }
  // A part of another indicator does not check its inputs for finiteness: an overflow in its
  // owner's arithmetic shows as an infinite value, not as a throw in mid-computation.
  void mark_as_part() override {
    checks_input_ = false;
    is_part_ = true;
  }

 protected:
  // Keeps the options and registers with `options.input_indicator`, when there is one.
  explicit IndicatorBase(const IndicatorOptions& options);

  // What happened to an output, as told to the dependents.
  enum class Event { ADD, UPDATE, REMOVE, CLEAR };
  // Whether another indicator is fed by this one (no output needs converting otherwise).
  bool _has_dependents() const { return !dependents_.empty(); }
  // Tells every dependent; if one throws, those told before it are put back (`old` is the
  // output an UPDATE or REMOVE replaced) and the exception goes on.
  void _notify(Event e, const Value& v, const Value& old);
  // Takes in the outputs the input indicator held when this one was made; runs on first use.
  void _sync() const {
    if (pending_catch_up_) [[unlikely]]
      const_cast<IndicatorBase*>(this)->_catch_up();
  }

  std::size_t max_history_ = 0;                 // 0: unbounded
  InputModifier modifier_;                      // may be empty
  std::optional<SamplingPeriodType> sampling_;  // absent: no folding
  bool checks_input_ = true;                    // false for a part of another indicator
  bool is_part_ = false;                        // managed by another indicator, which bounds it

 private:
  void _on_source_event(Event e, const Value& v);
  void _undo_source_event(Event e, const Value& old) noexcept;
  void _catch_up();
  void _detach();

  IndicatorBase* source_ = nullptr;
  std::vector<IndicatorBase*> dependents_;
  bool pending_catch_up_ = false;
};

namespace detail {
template <class In>
In from_value(const Value& v);
template <>
TOLBU_API double from_value<double>(const Value& v);
template <>
TOLBU_API OHLCV from_value<OHLCV>(const Value& v);
// Whether b falls in the same sampling period as a (both must carry a time).
TOLBU_API bool same_period(SamplingPeriodType p, const OHLCV& a, const OHLCV& b);
[[noreturn]] TOLBU_API void throw_nothing_to_update();
[[noreturn]] TOLBU_API void throw_not_finite(double v);
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
[[noreturn]] TOLBU_API void throw_no_time();
[[noreturn]] TOLBU_API void throw_history_too_short();
TOLBU_API void check_sampling_allowed(bool input_has_time, const IndicatorOptions& o);
}  // namespace detail

// An indicator fed `In` values (double or OHLCV) that produces one `std::optional<Out>` per
// input: the typed face (add, update, value, the histories) over IndicatorBase.
template <class In, class Out>
class Indicator : public IndicatorBase {
  static_assert(std::is_same_v<In, double> || std::is_same_v<In, OHLCV>,
                "indicators take numbers or OHLCV");

 public:
  using input_type = In;    // what add() takes: double or OHLCV
  using output_type = Out;  // what a present output holds

  // @copydoc tolbu_sdk::ta::IndicatorBase::input_kind
  InputKind input_kind() const override {
    return std::is_same_v<In, double> ? InputKind::NUMBER : InputKind::OHLCV;
  }

  // Adds an input and computes its output. A NaN or infinite input is refused with ValueError
  // and changes nothing.
  void add(const In& v) {
    _sync();
    if (modifier_) {
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
  // Adds each value in turn.
  void add(std::initializer_list<In> values) {
    for (const auto& v : values) add(v);
  }
  // Adds each value in turn: any iterable of `In` or `std::optional<In>`.
  template <InputRange Range>
  void add(const Range& values) {
    for (const auto& v : values) add(v);
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::add_value
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
    if (outputs_.empty()) detail::throw_nothing_to_update();
    if (modifier_) {
      Indicator::update_value(to_value(v));
      return;
    }
    _replace(&v);
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::update_value
  void update_value(const Value& v) override {
    _sync();
    if (outputs_.empty()) detail::throw_nothing_to_update();
    if (const Value* m = _modified(v)) {
      const In x = detail::from_value<In>(*m);
      _replace(&x);
    } else {
      _replace(nullptr);
    }
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::remove
  void remove() override {
    _sync();
    if (outputs_.empty()) return;
    if (!_has_dependents()) {
      _remove_newest();
      return;
    }
    const Slot old = _newest_slot();
    const Value old_output = to_value(outputs_.back());
    _remove_newest();
    try {
      _notify(Event::REMOVE, Value{}, old_output);
    } catch (...) {
      _restore(old);
      throw;
    }
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::remove_all
  void remove_all() override {
    _sync();
    inputs_.clear();
    outputs_.clear();
    had_input_.clear();
    for (auto* p : parts_) p->reset();
    _on_reset();
    input_count_ = 0;
    dropped_ = false;
    if (_has_dependents()) _notify(Event::CLEAR, Value{}, Value{});
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::purge_oldest
  void purge_oldest(std::size_t n) override {
    _sync();
    std::size_t inputs = 0;
    std::size_t k = 0;
    for (; k < n && k < outputs_.size(); ++k) {
      if (had_input_.from_front(k)) {
        if (inputs_.size() - inputs <= keep_) break;
        ++inputs;
      }
    }
    if (k == 0) return;
    outputs_.pop_front(k);
    had_input_.pop_front(k);
    inputs_.pop_front(inputs);
    dropped_ = true;
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::size
  std::size_t size() const override {
    _sync();
    return outputs_.size();
  }

  // @copydoc tolbu_sdk::ta::IndicatorBase::output_value
  Value output_value(std::ptrdiff_t i) const override { return to_value(output_values()[i]); }

  // Inputs held, oldest first; absent inputs are not among them.
  const support::RingBuffer<In>& input_values() const {
    _sync();
    return inputs_;
  }
  // Outputs held, oldest first, one per input (absent during warm-up).
  const support::RingBuffer<std::optional<Out>>& output_values() const {
    _sync();
    return outputs_;
  }
  // Checked; negative indices count from the newest.
  const std::optional<Out>& operator[](std::ptrdiff_t i) const { return output_values()[i]; }
  // The newest output; absent when there is none yet.
  std::optional<Out> value() const {
    _sync();
    return outputs_.empty() ? std::nullopt : outputs_.back();
  }
  // Present inputs taken in (less those removed), including any a bounded history dropped.
  std::size_t input_count() const {
    _sync();
    return input_count_;
  }

  void set_history_limit(std::size_t n) override {
    max_history_ = n;
    const std::size_t cap = _history_cap();
    if (cap != 0 && inputs_.size() > cap) dropped_ = true;  // shrunk: no removal past this
    inputs_.set_max_size(cap);
    outputs_.set_max_size(cap);
    had_input_.set_max_size(cap);
    for (auto* p : parts_) p->set_history_limit(cap);
  }

 protected:
  // Checks that sampling is asked only of OHLCV inputs and applies `options.max_history`.
  explicit Indicator(const IndicatorOptions& options) : IndicatorBase(options) {
    detail::check_sampling_allowed(std::is_same_v<In, OHLCV>, options);
    if (options.max_history != 0) set_history_limit(options.max_history);
  }

  // The output for the newest input (input_values().back()); absent during warm-up.
  virtual std::optional<Out> _calculate_new_value() = 0;
  // Called before the newest present input and its output are dropped.
  virtual void _on_remove() {}
  // Called by remove_all(), after the managed parts were reset: clears any other state.
  virtual void _on_reset() {}

  // Registers a part holding incremental state, to be undone, reset and bounded with this one.
  void _manage(support::Undoable& part) {
    part.mark_as_part();
    parts_.push_back(&part);
    if (max_history_ != 0) part.set_history_limit(_history_cap());
  }
  // The computation reads inputs/outputs up to n - 1 places back from the newest.
  void _keep_history(std::size_t n) {
    keep_ = std::max(keep_, n);
    if (max_history_ != 0) set_history_limit(max_history_);
  }
  // How many inputs and outputs a bounded history holds (0: all). We may remove every one
  // of them, so the parts are bounded by it too. A part is told how many of its pushes its
  // owner may undo, and keeps that many on top of what it reads.
  std::size_t _history_cap() const {
    if (max_history_ == 0) return 0;
    return is_part_ ? max_history_ + keep_ : std::max(max_history_, keep_ + 1);
  }
  // The newest present output before the slot being computed; absent if there is none.
  std::optional<Out> _previous_output() const {
    for (std::size_t k = 0; k < outputs_.size(); ++k) {
      if (outputs_.back(k)) return outputs_.back(k);
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
    if (modifier_) {
      scratch_ = modifier_(v);
      return std::holds_alternative<std::monostate>(scratch_) ? nullptr : &scratch_;
    }
    return std::holds_alternative<std::monostate>(v) ? nullptr : &v;
  }

  void _check(const In& v) const {
    if (checks_input_) detail::check_finite(v);
    if constexpr (std::is_same_v<In, OHLCV>) {
      if (sampling_ && !v.time) detail::throw_no_time();
    }
  }

  // A new input; one of the same sampling period as the newest replaces it.
  void _accept(const In& v) {
    _check(v);
    if constexpr (std::is_same_v<In, OHLCV>) {
      if (sampling_ && !outputs_.empty() && had_input_.back() &&
          detail::same_period(*sampling_, inputs_.back(), v)) {
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
      _notify(Event::ADD, to_value(outputs_.back()), Value{});
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
    const Value old_output = _has_dependents() ? to_value(outputs_.back()) : Value{};
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
      _notify(Event::UPDATE, to_value(outputs_.back()), old_output);
    } catch (...) {
      _remove_newest();
      _restore(old);
      throw;
    }
  }

  Slot _newest_slot() const {
    if (!had_input_.back()) return {};
    return {true, inputs_.back()};
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
    // Room for one more while computing, so that an input the computation refuses leaves the
    // oldest one in place.
    const std::size_t bound = inputs_.max_size();
    const bool drops = bound != 0 && inputs_.size() == bound;
    if (drops) inputs_.set_max_size(bound + 1);
    inputs_.push_back(v);
    ++input_count_;
    std::optional<Out> out;
    try {
      out = _calculate_new_value();
    } catch (...) {
      inputs_.pop_back();
      --input_count_;
      if (drops) inputs_.set_max_size(bound);
      throw;
    }
    if (drops) {
      inputs_.set_max_size(bound);
      dropped_ = true;
    }
    outputs_.push_back(std::move(out));
    had_input_.push_back(1);
  }

  void _push_absent() {
    outputs_.push_back(std::nullopt);
    had_input_.push_back(0);
  }

  void _remove_newest() {
    if (had_input_.back()) {
      if (dropped_ && inputs_.size() <= keep_) detail::throw_history_too_short();
      _on_remove();
      for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) (*it)->undo();
      inputs_.pop_back();
      --input_count_;
    }
    outputs_.pop_back();
    had_input_.pop_back();
  }

  support::RingBuffer<In> inputs_;
  support::RingBuffer<std::optional<Out>> outputs_;
  support::RingBuffer<std::uint8_t> had_input_;  // per output: whether an input was present
  std::vector<support::Undoable*> parts_;
  std::size_t input_count_ = 0;
  std::size_t keep_ = 1;
  bool dropped_ = false;  // whether a bounded history or a purge dropped inputs
  Value scratch_;
};

// An indicator over a window of the last `period` inputs. The derived class checks the period
// before handing it here.
template <class In, class Out>
class PeriodIndicator : public Indicator<In, Out> {
 public:
  // The window's length in inputs.
  int period() const { return period_; }

 protected:
  // Takes a `period` the derived class has already checked.
  PeriodIndicator(int period, const IndicatorOptions& options)
      : Indicator<In, Out>(options), period_(period) {}

  const int period_;  // the window's length
};

}  // namespace tolbu_sdk::ta
