#include "server/routes.hpp"

#include <boost/url/decode_view.hpp>
#include <boost/url/pct_string_view.hpp>

namespace tolbu_sim {

namespace {

std::vector<std::string_view> raw_segments(std::string_view path) {
  std::vector<std::string_view> out;
  if (path.starts_with('/')) path.remove_prefix(1);
  std::size_t start = 0;
  for (;;) {
    auto slash = path.find('/', start);
    out.push_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return out;
}

std::string decode(std::string_view encoded) {
  auto checked = boost::urls::make_pct_string_view(encoded);
  if (!checked) return std::string(encoded);  // malformed escapes are taken literally
  std::string out;
  for (char c : boost::urls::decode_view(*checked)) out.push_back(c);
  return out;
}

bool match_pattern(std::string_view pattern, std::string_view path,
                   std::map<std::string, std::string, std::less<>>& captures) {
  auto want = raw_segments(pattern);
  auto have = raw_segments(path);
  captures.clear();
  for (std::size_t i = 0; i < want.size(); ++i) {
    std::string_view w = want[i];
    bool is_capture = w.size() >= 2 && w.front() == '{' && w.back() == '}';
    if (is_capture && w.ends_with("...}")) {
      // The rest of the path, still joined by "/", each segment decoded.
      std::string rest;
      for (std::size_t j = i; j < have.size(); ++j) {
        if (j > i) rest.push_back('/');
        rest += decode(have[j]);
      }
      captures.emplace(std::string(w.substr(1, w.size() - 5)), std::move(rest));
      return have.size() >= i;
    }
    if (i >= have.size()) return false;
    if (is_capture) {
      captures.emplace(std::string(w.substr(1, w.size() - 2)), decode(have[i]));
    } else if (w != have[i]) {
      return false;
    }
  }
  return want.size() == have.size();
}

}  // namespace

void RouteTable::add(std::string method, std::string pattern, RouteHandler handler,
                     bool authenticated, std::string summary) {
  routes_.push_back(Route{std::move(method), std::move(pattern), authenticated, std::move(handler),
                          std::move(summary)});
}

const Route* RouteTable::match(SimRequest& request, bool& method_mismatch) const {
  method_mismatch = false;
  for (const auto& route : routes_) {
    if (!match_pattern(route.pattern, request.path, request.captures)) continue;
    if (route.method == "*" || route.method == request.method) return &route;
    method_mismatch = true;
  }
  request.captures.clear();
  return nullptr;
}

std::vector<std::string> decoded_segments(std::string_view encoded_path) {
  std::vector<std::string> out;
  for (auto segment : raw_segments(encoded_path)) out.push_back(decode(segment));
  return out;
}

}  // namespace tolbu_sim
