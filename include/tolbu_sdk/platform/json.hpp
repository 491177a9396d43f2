#pragma once
// JSON helpers shared by every deliverable.

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>

#include <string>
#include <string_view>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::platform {

// Parses one JSON text, reading every decimal number as the double nearest to it (Boost's own
// parser can be one unit in the last place off). The value allocates from storage, so a caller
// with an arena keeps it. Every JSON text the SDK reads goes through here. On failure ec is set
// and the result is null.
TOLBU_API boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                                        boost::json::storage_ptr storage = {});

// True for a missing value (nullptr) and for null, false, 0, "", [] and {}.
TOLBU_API bool is_empty(const boost::json::value* value) noexcept;
TOLBU_API bool is_empty(const boost::json::value& value) noexcept;

// Looks a key up in an object; nullptr when absent.
TOLBU_API const boost::json::value* find(const boost::json::object& object,
                                         std::string_view key) noexcept;

// JSON text with ", " and ": " separators, keys in insertion order, every non-ASCII character
// as a \uXXXX escape (surrogate pairs above U+FFFF), and the tokens NaN, Infinity and
// -Infinity for non-finite doubles. Doubles use number_text, integers plain decimal.
TOLBU_API std::string to_json_text(const boost::json::value& value);
TOLBU_API void append_json_text(std::string& out, const boost::json::value& value);

}  // namespace tolbu_sdk::platform
