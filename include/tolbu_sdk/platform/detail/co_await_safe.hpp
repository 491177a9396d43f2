#pragma once
// The callback parameter of a call that is meant to be awaited.
//
// g++ (12.2 and any g++ not shown free of it) destroys twice the temporaries that a co_await
// expression builds by aggregate initialisation, lambdas among them. A lambda that owns
// memory (a string or shared_ptr captured by value, an init-capture) written inline in
//   co_await stream.subscribe_candles(symbol, res, [symbol](const types::Candle&) {...});
// is freed twice: a double free, or a shared object that dies while still in use. The
// callee cannot prevent it, so under g++ such an argument does not compile; a callable bound
// to a variable first, or one that owns nothing (captures by reference), passes. An xvalue
// (std::move of a variable) cannot be told from a temporary here, and is refused too.

#include <type_traits>
#include <utility>

namespace tolbu_sdk::platform::detail {

#if defined(__GNUC__) && !defined(__clang__)
inline constexpr bool co_await_temporaries_destroyed_twice = true;
#else
inline constexpr bool co_await_temporaries_destroyed_twice = false;
#endif

// A temporary whose destruction matters: destroying it twice would free twice.
template <typename F>
inline constexpr bool refused_in_co_await =
    co_await_temporaries_destroyed_twice && !std::is_lvalue_reference_v<F> &&
    !std::is_trivially_destructible_v<std::remove_cvref_t<F>>;

// Callback, constructible from what Callback takes but an owning temporary (under g++).
template <typename Callback>
class CoAwaitSafe : public Callback {
 public:
  CoAwaitSafe() = default;

  template <typename F>
  requires(!std::is_base_of_v<CoAwaitSafe, std::remove_cvref_t<F>> &&
           std::is_constructible_v<Callback, F&&>)
      CoAwaitSafe(F&& f)  // NOLINT: implicit, as Callback's own conversions are
      : Callback(std::forward<F>(f)) {
    static_assert(!refused_in_co_await<F>,
                  "g++ destroys a temporary callable of a co_await expression twice (a double "
                  "free of what it captures by value). Bind the callable to a variable first "
                  "and pass the variable itself, not std::move of it: `auto on_event = "
                  "[symbol](const auto& e) { ... }; co_await stream.subscribe_...(..., "
                  "on_event);`");
  }
};

}  // namespace tolbu_sdk::platform::detail
