#pragma once
// The sim's route table. A pattern is a path of segments; "{name}" captures one segment
// (which may be empty), a last segment "{name...}" captures the rest of the path. Any module
// of the sim (REST side, test endpoints, streaming side) registers its routes here.

#include "server/http_types.hpp"

#include <functional>
#include <string>
#include <vector>

namespace tolbu_sim {

struct SimContext;

using RouteHandler = std::function<SimResponse(SimRequest&, SimContext&)>;

struct Route {
  std::string method;  // "GET", "POST", ... or "*" for any
  std::string pattern;
  bool authenticated = false;  // requires the bearer token
  RouteHandler handler;
  std::string summary;  // one line for listings
};

class RouteTable {
 public:
  void add(std::string method, std::string pattern, RouteHandler handler,
           bool authenticated = false, std::string summary = {});

  // The first route whose method and pattern match; fills the request's captures.
  // method_mismatch is set when a pattern matched under another method only.
  const Route* match(SimRequest& request, bool& method_mismatch) const;

  const std::vector<Route>& routes() const { return routes_; }

 private:
  std::vector<Route> routes_;
};

// Splits an encoded path into its decoded segments (the leading "/" gives no segment).
std::vector<std::string> decoded_segments(std::string_view encoded_path);

}  // namespace tolbu_sim
