#include "server/context.hpp"

#include <string_view>
#include <vector>

namespace tolbu_sim {

bool SimContext::authorized(const SimRequest& request) const {
  auto header = request.header("Authorization");
  if (!header) return false;
  std::string_view value = *header;
  constexpr std::string_view scheme = "Bearer ";
  if (value.size() <= scheme.size()) return false;
  // The scheme is case-insensitive; the token is compared exactly.
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) !=
        std::tolower(static_cast<unsigned char>(scheme[i])))
      return false;
  }
  return value.substr(scheme.size()) == options.jwt;
}

namespace {

struct Registered {
  const char* name;
  std::function<void(SimContext&)> install;
  const char* help;
};

std::vector<Registered>& registry() {
  static std::vector<Registered> extensions;
  return extensions;
}

}  // namespace

SimExtension::SimExtension(const char* name, std::function<void(SimContext&)> install,
                           const char* help) {
  registry().push_back(Registered{name, std::move(install), help});
}

std::string SimExtension::help_all() {
  std::string out;
  for (const auto& extension : registry()) {
    if (extension.help && *extension.help) {
      out += "\n";
      out += extension.help;
      if (!out.ends_with('\n')) out += '\n';
    }
  }
  return out;
}

void SimExtension::install_all(SimContext& context) {
  for (auto& extension : registry()) extension.install(context);
}

}  // namespace tolbu_sim
