#pragma once
// What every part of the sim shares: the options, the exchange, the request journal, the
// scripted faults, the route table and the streaming side's hub. One io_context runs it all,
// so handlers and exchange observers are called on that one thread.

#include "options.hpp"
#include "server/routes.hpp"
#include "test_api/faults.hpp"
#include "test_api/journal.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace boost::asio {
class io_context;
}

namespace tolbu_sim {

class Exchange;

struct SimContext {
  boost::asio::io_context& io;
  const SimOptions& options;
  Exchange& exchange;
  Journal& journal;
  FaultScript& faults;
  RouteTable& routes;
  std::uint16_t port = 0;  // the port actually bound
  // Owned by the streaming side (its hub of WebSocket sessions and channels).
  std::shared_ptr<void> streaming_hub;

  // True when the request carries "Authorization: Bearer <--jwt token>".
  bool authorized(const SimRequest& request) const;
};

// Parts of the sim living in their own files (the streaming side, for one) install their
// routes, observers and state through an extension registered at static-initialisation time:
//   static tolbu_sim::SimExtension streaming{"streaming", [](SimContext& ctx) { ... }};
// Extensions run once, in registration order, after the REST side is installed and before
// the first connection is accepted. An extension's help text (its options and endpoints) is
// printed by --help after the sim's own.
class SimExtension {
 public:
  SimExtension(const char* name, std::function<void(SimContext&)> install,
               const char* help = nullptr);
  static void install_all(SimContext& context);
  static std::string help_all();
};

}  // namespace tolbu_sim
