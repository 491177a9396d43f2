// The exact JSON reader and the decimal text reader: no crash, a value written back reads
// back the same, and every number is the double nearest to its text.

#include "fuzz_check.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

#include <boost/json/value.hpp>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

namespace json = boost::json;
using namespace tolbu_sdk::platform;

bool all_finite(const json::value& v) {
  switch (v.kind()) {
    case json::kind::double_:
      return std::isfinite(v.get_double());
    case json::kind::array:
      for (const auto& e : v.get_array())
        if (!all_finite(e)) return false;
      return true;
    case json::kind::object:
      for (const auto& [k, e] : v.get_object())
        if (!all_finite(e)) return false;
      return true;
    default:
      return true;
  }
}

// glibc's strtod rounds correctly; the reference for one number's text.
std::optional<double> reference(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double d = std::strtod(text.c_str(), &end);
  if (errno == ERANGE || end != text.c_str() + text.size()) return std::nullopt;
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  boost::system::error_code ec;
  const json::value v = parse_json(text, ec);
  if (!ec) {
    if (all_finite(v)) {
      const std::string written = to_json_text(v);
      boost::system::error_code ec2;
      const json::value again = parse_json(written, ec2);
      FUZZ_CHECK(!ec2);
      FUZZ_CHECK(again == v);
      FUZZ_CHECK(to_json_text(again) == written);
    }
    if (v.is_double() && text.find_first_of(" \t\r\n/") == std::string::npos) {
      if (auto expected = reference(text)) FUZZ_CHECK(v.get_double() == *expected);
    }
  }

  if (auto d = read_decimal(text)) {
    FUZZ_CHECK(std::isfinite(*d));
    const auto back = read_decimal(number_text(*d));
    FUZZ_CHECK(back && *back == *d);
    std::string trimmed(text);
    while (!trimmed.empty() && std::string_view(" \t\r\n").find(trimmed.back()) != std::string_view::npos)
      trimmed.pop_back();
    const auto lead = trimmed.find_first_not_of(" \t\r\n");
    trimmed.erase(0, lead);
    if (auto expected = reference(trimmed)) FUZZ_CHECK(*d == *expected);
  }
  return 0;
}
