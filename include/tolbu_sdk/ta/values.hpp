#pragma once
// The values that flow through the indicator library: OHLCV inputs, output records, and the
// dynamic Value used where indicators are handled by name (chaining, the factory, tests).

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::ta {

using platform::LocalDateTime;

// One bar. `time` is needed only by input sampling.
struct TOLBU_API OHLCV {
  // Opening price.
  double open = 0.0;
  // Highest price.
  double high = 0.0;
  // Lowest price.
  double low = 0.0;
  // Closing price.
  double close = 0.0;
  // Volume traded.
  double volume = 0.0;
  // When the bar started, if known.
  std::optional<LocalDateTime> time{};

  // Every field equal, the time included.
  bool operator==(const OHLCV&) const = default;
};

// Direction of a trend-following indicator (SuperTrend, ParabolicSAR).
enum class Trend { UP, DOWN };
// Kind of a confirmed pivot (PivotsHL, ZigZag).
enum class PivotType { HIGH, LOW };

// "UP" or "DOWN".
constexpr std::string_view enum_name(Trend t) { return t == Trend::UP ? "UP" : "DOWN"; }
// "HIGH" or "LOW".
constexpr std::string_view enum_name(PivotType t) { return t == PivotType::HIGH ? "HIGH" : "LOW"; }

// A field of an output record, seen dynamically. Enumerations appear as their member names.
using FieldValue = std::variant<std::monostate, double, bool, std::string_view, OHLCV>;

namespace detail {
template <class T>
concept NamedEnum = std::is_enum_v<T> && requires(T e) {
  { enum_name(e) } -> std::convertible_to<std::string_view>;
};

inline FieldValue to_field_value(double v) { return v; }
inline FieldValue to_field_value(bool v) { return v; }
inline FieldValue to_field_value(const OHLCV& v) { return v; }
template <NamedEnum E>
FieldValue to_field_value(E e) {
  return std::string_view(enum_name(e));
}
template <class T>
FieldValue to_field_value(const std::optional<T>& v) {
  if (!v) return std::monostate{};
  return to_field_value(*v);
}
}  // namespace detail

// A named field of an output record.
struct TOLBU_API Field {
  std::string_view name;  // always a literal: records name their own fields
  // Absent, a number, a flag, an enumeration member's name or a bar.
  FieldValue value;

  // A field from a value already dynamic.
  Field(std::string_view n, FieldValue v) : name(n), value(std::move(v)) {}
  // A field from a typed value: a number, flag, bar, named enumeration or an optional of one.
  template <class T>
  requires(!std::is_same_v<std::decay_t<T>, FieldValue>) Field(std::string_view n, const T& v)
      : name(n), value(detail::to_field_value(v)) {}

  // Same name and same value.
  bool operator==(const Field&) const = default;
};

// An output record seen dynamically: its fields in declaration order.
using Record = std::vector<Field>;

// Any input or output value: absent, a number, a bar, or a record.
using Value = std::variant<std::monostate, double, OHLCV, Record>;

// Record types declare `Record fields() const`.
template <class T>
concept RecordType = requires(const T& r) {
  { r.fields() } -> std::same_as<Record>;
};

// `v` as a dynamic Value: a number, a bar, or a record's fields().
template <class T>
Value to_value(const T& v) {
  if constexpr (std::is_same_v<T, double> || std::is_same_v<T, OHLCV>) {
    return v;
  } else if constexpr (RecordType<T>) {
    return v.fields();
  } else {
    static_assert(RecordType<T>, "output records must declare Record fields() const");
  }
}

// Absent when `v` is, else as to_value(const T&).
template <class T>
Value to_value(const std::optional<T>& v) {
  if (!v) return std::monostate{};
  return to_value(*v);
}

// The field `name` of a record value; absent when there is no such field or it is absent.
TOLBU_API const FieldValue* find_field(const Value& v, std::string_view name);

// A short description of a value's kind for error messages ("number", "OHLCV", ...).
TOLBU_API std::string_view kind_name(const Value& v);

}  // namespace tolbu_sdk::ta
