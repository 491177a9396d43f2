#pragma once
// The sim's HTTP server: one listener, one session per connection. Requests go through the
// journal and the fault script to the route table; a WebSocket upgrade on
// "/connection/websocket" is handed to the streaming side.

#include "server/context.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

#include <cstdint>
#include <memory>

namespace tolbu_sim {

namespace inproc = tolbu_sdk::platform::inproc;

// One request of an in-process caller, answered as the server answers it on a socket: the
// journal, the scripted faults (a dropped connection is an answer marked dropped), the
// routes, and the answer's status line and header fields as the server would write them.
boost::asio::awaitable<inproc::HttpAnswer> answer_inproc(inproc::HttpRequest request,
                                                         SimContext& context);

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
