#pragma once
// JSON helpers shared by every deliverable. Only Boost.JSON's forward declarations are
// needed here; code that builds or reads values includes <boost/json.hpp> (or its parts).

#include <boost/json/fwd.hpp>

#include <string>
#include <string_view>

#include "tolbu_sdk/platform/export.hpp"

namespace boost::system {
class error_code;
}  // namespace boost::system

namespace tolbu_sdk::platform {

// Parses one JSON text, reading every decimal number as the double nearest to it (Boost's own
// parser can be one unit in the last place off). The value allocates from storage, so a caller
// with an arena keeps it (the default resource without one). Every JSON text the SDK reads
// goes through here. On failure ec is set and the result is null.
TOLBU_API boost::json::value parse_json(std::string_view text, boost::system::error_code& ec);
// The same, allocating from `storage`.
TOLBU_API boost::json::value parse_json(std::string_view text, boost::system::error_code& ec,
                                        boost::json::storage_ptr storage);

// True for a missing value (nullptr) and for null, false, 0, "", [] and {}.
TOLBU_API bool is_empty(const boost::json::value* value) noexcept;
// The same for a value at hand.
TOLBU_API bool is_empty(const boost::json::value& value) noexcept;

// Looks a key up in an object; nullptr when absent.
TOLBU_API const boost::json::value* find(const boost::json::object& object,
                                         std::string_view key) noexcept;

// JSON text with ", " and ": " separators, keys in insertion order, every non-ASCII character
// as a `\uXXXX` escape (surrogate pairs above U+FFFF), and the tokens NaN, Infinity and
// -Infinity for non-finite doubles. Doubles use number_text, integers plain decimal.
TOLBU_API std::string to_json_text(const boost::json::value& value);
// Appends what to_json_text() returns to `out`.
TOLBU_API void append_json_text(std::string& out, const boost::json::value& value);

// A JSON value held by a record: a boost::json::value with value semantics (deep copies,
// comparison by content), kept behind a pointer so that the record's header needs only
// Boost.JSON's forward declarations. Null until set; reading a null one allocates nothing.
// Read it through *, -> or get() (or pass it where a const boost::json::value& is wanted);
// that needs <boost/json/value.hpp> as any use of a value does.
class TOLBU_API JsonValue {
 public:
  JsonValue() noexcept;
  JsonValue(const boost::json::value& value);  // NOLINT: implicit, as the value it holds
  JsonValue(boost::json::value&& value);       // NOLINT
  // A deep copy.
  JsonValue(const JsonValue& other);
  // Takes the value of `other`, which is left null.
  JsonValue(JsonValue&& other) noexcept;
  // A deep copy.
  JsonValue& operator=(const JsonValue& other);
  // Takes the value of `other`, which is left null.
  JsonValue& operator=(JsonValue&& other) noexcept;
  // Holds a copy of `value`.
  JsonValue& operator=(const boost::json::value& value);
  // Holds `value`, moved in.
  JsonValue& operator=(boost::json::value&& value);
  ~JsonValue();

  // The value; a shared null when nothing is held.
  const boost::json::value& get() const noexcept;
  // The value for changing it (a null one is created first).
  boost::json::value& get();
  // @copydoc get() const
  const boost::json::value& operator*() const noexcept { return get(); }
  // @copydoc get()
  boost::json::value& operator*() { return get(); }
  // A pointer to the value; see get() const.
  const boost::json::value* operator->() const noexcept { return &get(); }
  // A pointer to the value for changing it; see get().
  boost::json::value* operator->() { return &get(); }
  // The value, where a const boost::json::value& is wanted.
  operator const boost::json::value&() const noexcept { return get(); }  // NOLINT

  // Equal content; a null JsonValue equals a JSON null.
  friend TOLBU_API bool operator==(const JsonValue& a, const JsonValue& b) noexcept;
  // Equal content.
  friend TOLBU_API bool operator==(const JsonValue& a, const boost::json::value& b) noexcept;

 private:
  boost::json::value* value_ = nullptr;  // owned; null when nothing is held
};

}  // namespace tolbu_sdk::platform
