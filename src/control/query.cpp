#include "query.hpp"

#include <limits>

namespace tolbu_sdk::control_server {

std::optional<std::string_view> query_of(std::string_view target) {
  target = target.substr(0, target.find('#'));
  const auto mark = target.find('?');
  if (mark == std::string_view::npos) return std::nullopt;
  return target.substr(mark + 1);
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0.
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t len = b0 >= 0xC2 && b0 <= 0xDF   ? 2
                    : b0 >= 0xE0 && b0 <= 0xEF ? 3
                    : b0 >= 0xF0 && b0 <= 0xF4 ? 4
                                               : 0;
  if (len == 0 || i + len > s.size()) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
  const unsigned char lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
  const unsigned char hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
  if (b1 < lo || b1 > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return len;
}

std::string valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = utf8_length(s, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string decode_component(std::string_view raw) {
  std::string bytes;
  bytes.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '+') {
      bytes += ' ';
    } else if (c == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 &&
               hex_digit(raw[i + 2]) >= 0) {
      bytes += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
      i += 2;
    } else {
      bytes += c;
    }
  }
  return valid_utf8(bytes);
}

}  // namespace

QueryFields parse_query(std::string_view query) {
  QueryFields fields;
  for (;;) {
    const auto amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    const auto eq = field.find('=');
    if (eq != std::string_view::npos && eq + 1 < field.size())
      fields.emplace_back(decode_component(field.substr(0, eq)),
                          decode_component(field.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return fields;
}

std::optional<std::string> first_value(const QueryFields& fields, std::string_view key) {
  for (const auto& [name, value] : fields)
    if (name == key) return value;
  return std::nullopt;
}

ParsedInteger parse_integer(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {0, IntegerError::not_integer};
  text = text.substr(first, text.find_last_not_of(kSpace) - first + 1);

  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return {0, IntegerError::not_integer};

  // Accumulate as a negative number so that the minimum fits.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  bool overflow = false;
  bool after_digit = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!after_digit || i + 1 == text.size()) return {0, IntegerError::not_integer};
      after_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return {0, IntegerError::not_integer};
    after_digit = true;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10)
      overflow = true;
    else
      value = value * 10 - digit;
  }
  if (overflow || (!negative && value == kMin)) return {0, IntegerError::out_of_range};
  return {negative ? value : -value, IntegerError::none};
}

}  // namespace tolbu_sdk::control_server
