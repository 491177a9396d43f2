#include "tolbu_sdk/kit/side.hpp"

#include <algorithm>
#include <cctype>
#include <string>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::kit {

Side parse_side(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper == "B" || upper == "BUY") return Side::BUY;
  if (upper == "S" || upper == "SELL") return Side::SELL;
  throw ValueError("Side must be B, S, BUY or SELL, got \"" + std::string(text) + "\"");
}

std::string_view to_backend(Side side) noexcept { return side == Side::BUY ? "B" : "S"; }

std::string_view to_string(Side side) noexcept { return side == Side::BUY ? "BUY" : "SELL"; }

}  // namespace tolbu_sdk::kit
