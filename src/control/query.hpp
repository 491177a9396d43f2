#pragma once
// Reading the query part of a control request's target.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolbu_sdk::control_server {

using QueryFields = std::vector<std::pair<std::string, std::string>>;

// The text between the first '?' and any '#'; absent when the target has no '?'.
std::optional<std::string_view> query_of(std::string_view target);

// Form-encoded fields in order: '&' separates, '+' reads as a space, %XX escapes are decoded
// (a malformed escape stays as written, bytes that are not UTF-8 become U+FFFD), and a field
// without '=' or with an empty value is dropped.
QueryFields parse_query(std::string_view query);

// The first value of key; absent when no field has it.
std::optional<std::string> first_value(const QueryFields& fields, std::string_view key);

enum class IntegerError { none, not_integer, out_of_range };

// A base-10 integer with optional surrounding white space, an optional sign and single
// underscores between digits ("1_000").
struct ParsedInteger {
  std::int64_t value = 0;
  IntegerError error = IntegerError::none;
};
ParsedInteger parse_integer(std::string_view text);

}  // namespace tolbu_sdk::control_server
