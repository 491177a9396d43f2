#pragma once
// Typed, named access to the fields of one JSON object: every failure names the record and the
// field, so a malformed payload is reported clearly instead of becoming a wrong record. Private
// to the SDK's libraries (records, REST services, control).

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::platform {

// The kind of a JSON value as error messages name it: "null", "boolean", "number", "string",
// "array" or "object".
TOLBU_API const char* kind_name(const boost::json::value& value) noexcept;
TOLBU_API const char* kind_name(boost::json::kind kind) noexcept;

class TOLBU_API JsonFields {
 public:
  // `where` names the record (and the path inside a parent: "Depth.bidPriceDepth[2]").
  // Throws TypeError when `data` is not an object.
  JsonFields(const boost::json::value& data, std::string where);

  const boost::json::object& object() const noexcept { return *object_; }
  const std::string& where() const noexcept { return where_; }

  double number(std::string_view key) const;
  double number_or(std::string_view key, double fallback) const;
  std::int64_t integer(std::string_view key) const;
  std::int64_t integer_or(std::string_view key, std::int64_t fallback) const;
  int int32(std::string_view key) const;
  std::string text(std::string_view key) const;
  std::string text_or(std::string_view key, std::string fallback) const;
  // Identifiers: a text, or an integer kept as its decimal digits.
  std::string id(std::string_view key) const;
  std::string id_or(std::string_view key, std::string fallback) const;
  // The value of an optional key, nullptr when missing or null.
  const boost::json::value* optional(std::string_view key) const noexcept;

  [[noreturn]] void wrong_type(std::string_view key, const char* expected,
                               const boost::json::value& got) const;
  [[noreturn]] void bad_value(std::string_view key, const std::string& why) const;

 private:
  const boost::json::value& required(std::string_view key) const;
  double as_number(std::string_view key, const boost::json::value& v) const;
  std::int64_t as_integer(std::string_view key, const boost::json::value& v) const;
  std::string as_text(std::string_view key, const boost::json::value& v) const;
  std::string as_id(std::string_view key, const boost::json::value& v) const;

  const boost::json::object* object_;
  std::string where_;
};

}  // namespace tolbu_sdk::platform
