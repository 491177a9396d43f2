#include "tolbu_sdk/platform/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tolbu_sdk::platform {

void append_number_text(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]x".
  char buf[40];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  (void)ec;
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  const char* e = p;
  while (*e != 'e') ++e;
  std::string digits;
  for (const char* q = p; q < e; ++q)
    if (*q != '.') digits += *q;
  int exp = 0;
  std::from_chars(e + 1 + (e[1] == '+'), end, exp);
  const int n = static_cast<int>(digits.size());

  if (exp < -4 || exp >= 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    const int mag = std::abs(exp);
    if (mag < 10) out += '0';
    out += std::to_string(mag);
  } else if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  } else if (exp + 1 >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(exp + 1 - n), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exp + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exp + 1));
  }
}

std::string number_text(double value) {
  std::string out;
  append_number_text(out, value);
  return out;
}

}  // namespace tolbu_sdk::platform

namespace tolbu_sdk::platform {

std::optional<double> read_decimal(std::string_view text) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;  // "+-1" is not a number
  }
  // from_chars reads "inf" and "nan" too; digits or a point must come first.
  std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || !((digits[0] >= '0' && digits[0] <= '9') || digits[0] == '.'))
    return std::nullopt;
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace tolbu_sdk::platform
