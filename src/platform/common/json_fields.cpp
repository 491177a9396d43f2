#include "json_fields.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::platform {

namespace json = boost::json;

const char* kind_name(const json::value& value) noexcept { return kind_name(value.kind()); }

const char* kind_name(json::kind kind) noexcept {
  switch (kind) {
    case json::kind::null:
      return "null";
    case json::kind::bool_:
      return "boolean";
    case json::kind::int64:
    case json::kind::uint64:
    case json::kind::double_:
      return "number";
    case json::kind::string:
      return "string";
    case json::kind::array:
      return "array";
    case json::kind::object:
      return "object";
  }
  return "value";
}

JsonFields::JsonFields(const json::value& data, std::string where) : where_(std::move(where)) {
  object_ = data.if_object();
  if (object_ == nullptr)
    throw TypeError(fmt::format("{}: data must be a JSON object, got {}", where_, kind_name(data)));
}

void JsonFields::wrong_type(std::string_view key, const char* expected, const json::value& got) const {
  throw TypeError(
      fmt::format("{}: field \"{}\" must be {}, got {}", where_, key, expected, kind_name(got)));
}

void JsonFields::bad_value(std::string_view key, const std::string& why) const {
  throw ValueError(fmt::format("{}: field \"{}\" {}", where_, key, why));
}

const json::value& JsonFields::required(std::string_view key) const {
  const json::value* v = object_->if_contains(key);
  if (v == nullptr) bad_value(key, "is missing");
  if (v->is_null()) bad_value(key, "is null");
  return *v;
}

const json::value* JsonFields::optional(std::string_view key) const noexcept {
  const json::value* v = object_->if_contains(key);
  return v == nullptr || v->is_null() ? nullptr : v;
}

double JsonFields::as_number(std::string_view key, const json::value& v) const {
  switch (v.kind()) {
    case json::kind::int64:
      return static_cast<double>(v.get_int64());
    case json::kind::uint64:
      return static_cast<double>(v.get_uint64());
    case json::kind::double_:
      return v.get_double();
    default:
      wrong_type(key, "a number", v);
  }
}

std::int64_t JsonFields::as_integer(std::string_view key, const json::value& v) const {
  switch (v.kind()) {
    case json::kind::int64:
      return v.get_int64();
    case json::kind::uint64:
      if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        bad_value(key, "is out of range");
      return static_cast<std::int64_t>(v.get_uint64());
    case json::kind::double_: {
      const double d = v.get_double();
      // 2^63 is exact as a double; anything at or above it does not fit.
      if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
        bad_value(key, "is out of range");
      if (d != std::trunc(d)) bad_value(key, "must be a whole number");
      return static_cast<std::int64_t>(d);
    }
    default:
      wrong_type(key, "an integer", v);
  }
}

std::string JsonFields::as_text(std::string_view key, const json::value& v) const {
  if (!v.is_string()) wrong_type(key, "a string", v);
  return std::string(v.get_string());
}

std::string JsonFields::as_id(std::string_view key, const json::value& v) const {
  switch (v.kind()) {
    case json::kind::string:
      return std::string(v.get_string());
    case json::kind::int64:
      return std::to_string(v.get_int64());
    case json::kind::uint64:
      return std::to_string(v.get_uint64());
    default:
      wrong_type(key, "a string or an integer", v);
  }
}

double JsonFields::number(std::string_view key) const { return as_number(key, required(key)); }

double JsonFields::number_or(std::string_view key, double fallback) const {
  const json::value* v = optional(key);
  return v ? as_number(key, *v) : fallback;
}

std::int64_t JsonFields::integer(std::string_view key) const { return as_integer(key, required(key)); }

std::int64_t JsonFields::integer_or(std::string_view key, std::int64_t fallback) const {
  const json::value* v = optional(key);
  return v ? as_integer(key, *v) : fallback;
}

int JsonFields::int32(std::string_view key) const {
  const std::int64_t n = integer(key);
  if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
    bad_value(key, "is out of range");
  return static_cast<int>(n);
}

std::string JsonFields::text(std::string_view key) const { return as_text(key, required(key)); }

std::string JsonFields::text_or(std::string_view key, std::string fallback) const {
  const json::value* v = optional(key);
  return v ? as_text(key, *v) : std::move(fallback);
}

std::string JsonFields::id(std::string_view key) const { return as_id(key, required(key)); }

std::string JsonFields::id_or(std::string_view key, std::string fallback) const {
  const json::value* v = optional(key);
  return v ? as_id(key, *v) : std::move(fallback);
}

}  // namespace tolbu_sdk::platform
