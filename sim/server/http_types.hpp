#pragma once
// Requests and answers as the sim's handlers see them: plain values, no Beast types, so
// handlers compile without the HTTP machinery.

#include <boost/json/value.hpp>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolbu_sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct SimRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // as received: path and query, percent-encoded
  std::string path;    // the target's path, still percent-encoded
  HeaderList headers;  // in the order received, names as sent
  std::string body;
  // Query parameters, decoded, in the order received.
  std::vector<std::pair<std::string, std::string>> query;
  // Path captures of the matched route ("{name}" segments), decoded.
  std::map<std::string, std::string, std::less<>> captures;

  // Case-insensitive header lookup; the first occurrence.
  std::optional<std::string_view> header(std::string_view name) const;
  std::optional<std::string_view> query_param(std::string_view name) const;
  const std::string& capture(std::string_view name) const;
};

struct SimResponse {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  HeaderList headers;  // extra headers

  static SimResponse json(int status, const boost::json::value& value);
  // {"error": message}
  static SimResponse error(int status, std::string_view message);
};

// Builds a SimRequest's path and query from a target; false when the target is malformed.
bool split_target(SimRequest& request);

// The text of a JSON body, or an error answer (400) explaining why it is not an object.
std::optional<boost::json::object> parse_json_object(const SimRequest& request, SimResponse& error);

}  // namespace tolbu_sim
