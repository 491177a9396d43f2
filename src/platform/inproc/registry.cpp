#include <map>
#include <mutex>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

namespace tolbu_sdk::platform::inproc {

namespace {

constexpr std::string_view kScheme = "inproc://";

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const Endpoint>, std::less<>> endpoints;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void add_endpoint(const std::string& name, Endpoint endpoint) {
  if (name.empty() || name.find_first_of("/?#") != std::string::npos)
    throw ValueError("Invalid in-process endpoint name '" + name + "'");
  if (!endpoint.loop) throw ValueError("In-process endpoint '" + name + "' has no event loop");
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto [it, added] =
      r.endpoints.emplace(name, std::make_shared<const Endpoint>(std::move(endpoint)));
  if (!added) throw ValueError("In-process endpoint '" + name + "' is registered already");
}

void remove_endpoint(const std::string& name) {
  auto& r = registry();
  std::shared_ptr<const Endpoint> gone;  // its handlers are destroyed outside the lock
  std::lock_guard lock(r.mutex);
  if (auto it = r.endpoints.find(name); it != r.endpoints.end()) {
    gone = std::move(it->second);
    r.endpoints.erase(it);
  }
}

std::shared_ptr<const Endpoint> find_endpoint(std::string_view name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.endpoints.find(name);
  return it == r.endpoints.end() ? nullptr : it->second;
}

std::optional<std::string_view> endpoint_name(std::string_view url) {
  if (url.size() < kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return std::nullopt;
  }
  url.remove_prefix(kScheme.size());
  return url.substr(0, url.find_first_of("/?#"));
}

std::string endpoint_target(std::string_view url) {
  auto name = endpoint_name(url);
  if (!name) return "/";
  std::string_view rest = url.substr(kScheme.size() + name->size());
  rest = rest.substr(0, rest.find('#'));
  std::string out(rest);
  if (out.empty() || out.front() != '/') out.insert(out.begin(), '/');
  return out;
}

}  // namespace tolbu_sdk::platform::inproc
