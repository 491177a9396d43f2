#include "server/http_types.hpp"

#include <algorithm>
#include <cctype>

#include <boost/json/parse.hpp>
#include <boost/url/parse.hpp>

#include "tolbu_sdk/platform/json.hpp"

#include <strings.h>

namespace tolbu_sim {

std::optional<std::string_view> SimRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
      return std::string_view(value);
  }
  return std::nullopt;
}

std::optional<std::string_view> SimRequest::query_param(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return std::string_view(value);
  }
  return std::nullopt;
}

const std::string& SimRequest::capture(std::string_view name) const {
  static const std::string empty;
  auto it = captures.find(name);
  return it == captures.end() ? empty : it->second;
}

SimResponse SimResponse::json(int status, const boost::json::value& value) {
  SimResponse response;
  response.status = status;
  response.body = tolbu_sdk::platform::to_json_text(value);
  return response;
}

SimResponse SimResponse::error(int status, std::string_view message) {
  return json(status, boost::json::object{{"error", message}});
}

bool split_target(SimRequest& request) {
  auto parsed = boost::urls::parse_origin_form(request.target);
  if (!parsed) return false;
  request.path = std::string(parsed->encoded_path());
  request.query.clear();
  for (auto param : parsed->params()) {
    request.query.emplace_back(param.key, param.has_value ? param.value : std::string());
  }
  return true;
}

std::optional<boost::json::object> parse_json_object(const SimRequest& request,
                                                     SimResponse& error) {
  // A JSON body must say so: "application/json", parameters such as a charset allowed.
  auto type = request.header("Content-Type").value_or("");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  if (type.size() != 16 || !std::equal(type.begin(), type.end(), "application/json",
                                       [](char a, char b) { return std::tolower(a) == b; })) {
    error = SimResponse::error(400, "A JSON body needs \"Content-Type: application/json\"");
    return std::nullopt;
  }
  boost::system::error_code ec;
  auto value = tolbu_sdk::platform::parse_json(request.body, ec);
  if (ec) {
    error = SimResponse::error(400, "Request body is not valid JSON: " + ec.message());
    return std::nullopt;
  }
  if (!value.is_object()) {
    error = SimResponse::error(400, "Request body must be a JSON object");
    return std::nullopt;
  }
  return std::move(value.as_object());
}

}  // namespace tolbu_sim
