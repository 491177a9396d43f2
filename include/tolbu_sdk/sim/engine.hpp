#pragma once
// tolbu-sim linked into the strategy's program: the same exchange, routes, streaming hub and
// replay as the tolbu-sim program, on the program's own event loop and reached through
// "inproc://NAME" URLs instead of a socket. A backtest then steps bar by bar with function
// calls, with the same requests, answers and frames as over the wire.
//
//   boost::asio::io_context loop;
//   tolbu_sdk::sim::Engine sim(loop, {"--replay", "--seed", "3"});
//   auto config = TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(),
//                                             sim.jwt());
//   ... the services and TolbuStream on config, awaited on `loop` ...
//
// Streaming connections are opened from the engine's loop only. Blocking REST calls from
// other threads are answered on the loop (which must then be running).

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::sim {

// The sim on a loop, registered as an in-process endpoint for as long as it lives.
class TOLBU_API Engine {
 public:
  // args: tolbu-sim's command-line options, without the program's name ("--replay", "--seed",
  // "3", ...); ValueError with the option parser's message for a bad one. name: the endpoint's
  // name, unique in the process (empty: one is chosen).
  Engine(boost::asio::io_context& loop, const std::vector<std::string>& args,
         std::string name = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The endpoint's name.
  const std::string& name() const;
  std::string base_url() const;  // REST and micro API base: "inproc://NAME"
  std::string ws_url() const;    // "inproc://NAME/connection/websocket"
  // The bearer token the sim requires (its --jwt).
  const std::string& jwt() const;

  // Serves on a TCP port too, as the tolbu-sim program does (--host and --port); the port.
  std::uint16_t listen();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolbu_sdk::sim
