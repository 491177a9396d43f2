#pragma once
// Runs Debian's headless Chromium on a page: its serialised DOM or a screenshot. Each run gets
// a fresh profile folder and is killed (with its helpers) when it overstays.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace backtest_test {

struct BrowserRun {
  int exit_code = -1;  // -1: killed after the timeout
  std::string output;  // standard output (the DOM for --dump-dom)
};

class Chromium {
 public:
  // The browser named by TOLBU_CHROMIUM, else Debian's; absent when it is not installed.
  static std::optional<Chromium> find() {
    if (const char* chosen = std::getenv("TOLBU_CHROMIUM"))
      return ::access(chosen, X_OK) == 0 ? std::optional(Chromium(chosen)) : std::nullopt;
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
      if (::access(path, X_OK) == 0) return Chromium(path);
    return std::nullopt;
  }

  // extra: e.g. "--dump-dom" or "--screenshot=<file>"; virtual time lets the page's timers
  // and fetches run before the DOM is taken.
  BrowserRun run(const std::filesystem::path& profile, const std::string& url,
                 std::vector<std::string> extra,
                 std::chrono::seconds timeout = std::chrono::seconds(90)) const {
    std::filesystem::remove_all(profile);
    std::filesystem::create_directories(profile);
    std::vector<std::string> args{path_,
                                  "--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--disable-quic",
                                  "--no-first-run",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  "--disable-dev-shm-usage",
                                  "--user-data-dir=" + profile.string()};
    for (auto& e : extra) args.push_back(std::move(e));
    args.push_back(url);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    BrowserRun result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // its own group, to kill helpers
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, path_.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (spawned != 0) {
      ::close(out[0]);
      return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timed_out = false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timed_out = true;
        break;
      }
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[65536];
      const auto n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (timed_out) ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::kill(-pid, SIGKILL);  // helpers left behind by the browser
    if (!timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
  }

 private:
  explicit Chromium(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace backtest_test
