#include "tolbu_sdk/platform/http.hpp"

namespace tolbu_sdk::platform::http {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void append_encoded(std::string& out, std::string_view text, bool space_as_plus) {
  for (unsigned char c : text) {
    if (unreserved(c)) {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ' && space_as_plus) {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
}

}  // namespace

std::string encode_path_segment(std::string_view segment) {
  if (segment == ".") return "%2E";
  if (segment == "..") return "%2E%2E";
  std::string out;
  out.reserve(segment.size());
  append_encoded(out, segment, false);
  return out;
}

std::string encode_query(const Params& params) {
  std::string out;
  for (const auto& [key, value] : params) {
    if (!out.empty()) out.push_back('&');
    append_encoded(out, key, true);
    out.push_back('=');
    append_encoded(out, value, true);
  }
  return out;
}

std::string_view text_prefix(std::string_view text, std::size_t max_chars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Continuation bytes (10xxxxxx) belong to the character before them.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars == max_chars) return text.substr(0, i);
    ++chars;
  }
  return text;
}

}  // namespace tolbu_sdk::platform::http
