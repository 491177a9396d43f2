#pragma once
// The sim's HTTP server: one listener, one session per connection. Requests go through the
// journal and the fault script to the route table; a WebSocket upgrade on
// "/connection/websocket" is handed to the streaming side.

#include "server/context.hpp"

#include <cstdint>
#include <memory>

namespace tolbu_sim {

class Server {
 public:
  // Binds host:port (port 0: ephemeral). Throws std::system_error when it cannot.
  explicit Server(SimContext& context);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::uint16_t port() const;
  // Starts accepting on the context's io_context.
  void start();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolbu_sim
