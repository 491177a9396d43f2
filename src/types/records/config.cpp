#include "tolbu_sdk/config.hpp"

#include <fmt/format.h>

#include <initializer_list>
#include <string_view>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk {

namespace {

void check_url(std::string& url, const char* member,
               std::initializer_list<std::string_view> schemes, bool strip_slash) {
  if (strip_slash) {
    while (!url.empty() && url.back() == '/') url.pop_back();
  }
  bool scheme_ok = false;
  for (std::string_view s : schemes) {
    // A host must follow the scheme.
    if (url.size() > s.size() && std::string_view(url).starts_with(s) && url[s.size()] != '/')
      scheme_ok = true;
  }
  if (!scheme_ok) {
    std::string allowed;
    for (std::string_view s : schemes) allowed += (allowed.empty() ? "" : " or ") + std::string(s);
    throw ValueError(
        fmt::format("{} must be a URL starting with {}, got \"{}\"", member, allowed, url));
  }
}

}  // namespace

TolbuConfig TolbuConfig::from_defaults(std::optional<std::string> jwt_token) {
  TolbuConfig config;
  config.jwt_token = std::move(jwt_token);
  return config;
}

TolbuConfig TolbuConfig::from_endpoints(std::string rest_api_url, std::string micro_api_url,
                                        std::string streaming_ws,
                                        std::optional<std::string> jwt_token) {
  check_url(rest_api_url, "rest_api_url", {"http://", "https://", "inproc://"}, true);
  check_url(micro_api_url, "micro_api_url", {"http://", "https://", "inproc://"}, true);
  check_url(streaming_ws, "streaming_ws", {"ws://", "wss://", "inproc://"}, false);
  return TolbuConfig{std::move(rest_api_url), std::move(micro_api_url), std::move(streaming_ws),
                     std::move(jwt_token)};
}

}  // namespace tolbu_sdk
