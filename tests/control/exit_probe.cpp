// Serves the control API, prints its port, and ends when standard input closes, with a client
// still connected: "return" destroys the server on the way out, "exit" leaves it running.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support.hpp"

int main(int argc, char** argv) {
  control_test::TestApp app;
  auto* server = new tolbu_sdk::APIServer(app, 0, control_test::loopback_options());
  server->start();
  if (!server->wait_until_listening(std::chrono::seconds(5))) return 2;
  std::printf("%d\n", server->port());
  std::fflush(stdout);
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
  if (argc > 1 && std::strcmp(argv[1], "exit") == 0) std::exit(0);
  delete server;
  return 0;
}
