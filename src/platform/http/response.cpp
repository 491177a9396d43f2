#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/json.hpp"

#include <strings.h>

namespace tolbu_sdk::platform::http {

boost::json::value Response::json() const { return json(boost::json::storage_ptr()); }

boost::json::value Response::json(boost::json::storage_ptr storage) const {
  boost::system::error_code ec;
  boost::json::value value = parse_json(text, ec, std::move(storage));
  if (ec) {
    std::string shown(text_prefix(text, 100));
    throw ValueError("Response body is not valid JSON (" + ec.message() + "): '" + shown +
                     (shown.size() < text.size() ? "...'" : "'"));
  }
  return value;
}

std::string Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), key.size()) == 0)
      return value;
  }
  return {};
}

}  // namespace tolbu_sdk::platform::http
