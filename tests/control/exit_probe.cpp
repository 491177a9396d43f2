// A process that serves the control API and then ends while a client is still connected:
// "return" leaves main with the server in scope, "exit" calls std::exit with the server leaked.
// It prints the port, then ends when its standard input closes.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support.hpp"

int main(int argc, char** argv) {
  const bool leak = argc > 1 && std::strcmp(argv[1], "exit") == 0;
  control_test::TestApp app;
  auto* server = new tolbu_sdk::APIServer(app, 0, control_test::loopback_options());
  server->start();
  if (!server->wait_until_listening(std::chrono::seconds(5))) return 2;
  std::printf("%d\n", server->port());
  std::fflush(stdout);
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
  if (leak) std::exit(0);
  delete server;
  return 0;
}
