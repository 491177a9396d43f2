// The process can end while the control server is serving a client.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "support.hpp"

extern char** environ;

namespace {

using namespace control_test;

// Exit status of the probe, or -1 when it did not end in time (then it is killed).
int run_probe(const char* mode) {
  int to_child[2], from_child[2];
  if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) return -2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  posix_spawn_file_actions_addclose(&actions, to_child[1]);
  posix_spawn_file_actions_addclose(&actions, from_child[0]);
  char* argv[] = {const_cast<char*>(CONTROL_EXIT_PROBE), const_cast<char*>(mode), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, CONTROL_EXIT_PROBE, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(to_child[0]);
  ::close(from_child[1]);
  if (spawned != 0) return -2;

  std::string line;
  char c;
  pollfd p{from_child[0], POLLIN, 0};
  while (::poll(&p, 1, 5000) > 0 && ::read(from_child[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(from_child[0]);
  const int port = line.empty() ? 0 : std::stoi(line);
  EXPECT_GT(port, 0);

  Connection client(port);  // mid-request when the process ends
  EXPECT_TRUE(client.connected());
  client.send("GET /status HTTP/1.1\r\n");
  ::close(to_child[1]);

  for (int waited = 0; waited < 500; ++waited) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(10ms);  // polling a child's exit: no condition to wait on
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

TEST(ProcessExit, EndsWhileServingWhenTheServerIsDestroyed) { EXPECT_EQ(run_probe("return"), 0); }

TEST(ProcessExit, EndsWhileServingWithTheServerLeaked) { EXPECT_EQ(run_probe("exit"), 0); }

}  // namespace
