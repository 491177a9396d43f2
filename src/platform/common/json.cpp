#include "tolbu_sdk/platform/json.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <utility>

#include "tolbu_sdk/platform/number_text.hpp"

namespace tolbu_sdk::platform {

namespace json = boost::json;

bool is_empty(const json::value* value) noexcept { return value == nullptr || is_empty(*value); }

bool is_empty(const json::value& value) noexcept {
  switch (value.kind()) {
    case json::kind::null:
      return true;
    case json::kind::bool_:
      return !value.get_bool();
    case json::kind::int64:
      return value.get_int64() == 0;
    case json::kind::uint64:
      return value.get_uint64() == 0;
    case json::kind::double_:
      return value.get_double() == 0.0;
    case json::kind::string:
      return value.get_string().empty();
    case json::kind::array:
      return value.get_array().empty();
    case json::kind::object:
      return value.get_object().empty();
  }
  return true;
}

const json::value* find(const json::object& object, std::string_view key) noexcept {
  return object.if_contains(key);
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u16(std::string& out, unsigned unit) {
  out += "\\u";
  out += kHex[(unit >> 12) & 0xF];
  out += kHex[(unit >> 8) & 0xF];
  out += kHex[(unit >> 4) & 0xF];
  out += kHex[unit & 0xF];
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes come out as U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = b0 >= 0xF0 && b0 <= 0xF4 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 && b0 < 0xE0 ? 2 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += len;
  const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void append_string(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (c < 0x20 || c == 0x7F)
            append_u16(out, c);
          else
            out += static_cast<char>(c);
      }
      continue;
    }
    const char32_t cp = next_code_point(s, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      append_u16(out, 0xD800 + (v >> 10));
      append_u16(out, 0xDC00 + (v & 0x3FF));
    } else {
      append_u16(out, cp);
    }
  }
  out += '"';
}

}  // namespace

void append_json_text(std::string& out, const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      out += "null";
      return;
    case json::kind::bool_:
      out += value.get_bool() ? "true" : "false";
      return;
    case json::kind::int64:
      out += std::to_string(value.get_int64());
      return;
    case json::kind::uint64:
      out += std::to_string(value.get_uint64());
      return;
    case json::kind::double_: {
      const double d = value.get_double();
      if (std::isnan(d))
        out += "NaN";
      else if (std::isinf(d))
        out += d < 0 ? "-Infinity" : "Infinity";
      else
        append_number_text(out, d);
      return;
    }
    case json::kind::string:
      append_string(out, value.get_string());
      return;
    case json::kind::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value.get_array()) {
        if (!first) out += ", ";
        first = false;
        append_json_text(out, item);
      }
      out += ']';
      return;
    }
    case json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.get_object()) {
        if (!first) out += ", ";
        first = false;
        append_string(out, member.key());
        out += ": ";
        append_json_text(out, member.value());
      }
      out += '}';
      return;
    }
  }
}

std::string to_json_text(const json::value& value) {
  std::string out;
  append_json_text(out, value);
  return out;
}

}  // namespace tolbu_sdk::platform

namespace tolbu_sdk::platform {

JsonValue::JsonValue() noexcept = default;
// Held values live in the default resource, so that none outlives an arena it was read into.
JsonValue::JsonValue(const json::value& value) : value_(new json::value(value, {})) {}
JsonValue::JsonValue(json::value&& value) : value_(new json::value(std::move(value), {})) {}
JsonValue::JsonValue(const JsonValue& other)
    : value_(other.value_ ? new json::value(*other.value_, {}) : nullptr) {}
JsonValue::JsonValue(JsonValue&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
JsonValue::~JsonValue() { delete value_; }

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = other.get();
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    delete value_;
    value_ = std::exchange(other.value_, nullptr);
  }
  return *this;
}

JsonValue& JsonValue::operator=(const json::value& value) {
  // Copied before the old value goes: value may live inside it.
  auto* copy = new json::value(value, {});
  delete value_;
  value_ = copy;
  return *this;
}

JsonValue& JsonValue::operator=(json::value&& value) {
  auto* moved = new json::value(std::move(value), {});
  delete value_;
  value_ = moved;
  return *this;
}

const json::value& JsonValue::get() const noexcept {
  static const json::value null;
  return value_ ? *value_ : null;
}

json::value& JsonValue::get() {
  if (!value_) value_ = new json::value();
  return *value_;
}

bool operator==(const JsonValue& a, const JsonValue& b) noexcept { return a.get() == b.get(); }
bool operator==(const JsonValue& a, const json::value& b) noexcept { return a.get() == b; }

}  // namespace tolbu_sdk::platform
