// The process can end while the control server is serving a client.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "support.hpp"

extern char** environ;

namespace {

using namespace control_test;

// The probe's exit status; -1 when it did not end in time (it is killed then).
int run_probe(const char* mode) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return -2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(CONTROL_EXIT_PROBE), const_cast<char*>(mode), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, CONTROL_EXIT_PROBE, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) return -2;
  FILE* from_probe = ::fdopen(out[0], "r");
  int port = 0;
  pollfd p{out[0], POLLIN, 0};
  if (::poll(&p, 1, 5000) > 0 && std::fscanf(from_probe, "%d", &port) != 1) port = 0;
  std::fclose(from_probe);

  Connection client(port);  // halfway through a request when the process ends
  EXPECT_TRUE(client.connected() && client.send("GET /status HTTP/1.1\r\n"));
  ::close(in[1]);
  for (int i = 0; i < 500; ++i) {  // a child's exit has no condition to wait on: poll it
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

TEST(ProcessExit, EndsWhileServingWithTheServerDestroyedOrLeftRunning) {
  EXPECT_EQ(run_probe("return"), 0);
  EXPECT_EQ(run_probe("exit"), 0);
}

}  // namespace
