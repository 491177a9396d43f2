#pragma once
// Runs the sma_crossover example as a child process in a scratch working directory, reads
// its standard output line by line and reaps it, every wait bounded.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tolbu_test {

class ExampleProcess {
 public:
  ExampleProcess(const std::string& program, std::vector<std::string> args) {
    char dir_template[] = "/tmp/tolbu-e2e.XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = dir_template;

    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
      if (::getppid() != parent) ::_exit(127);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }

  ~ExampleProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ExampleProcess(const ExampleProcess&) = delete;
  ExampleProcess& operator=(const ExampleProcess&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  // Everything read from standard output and standard error so far.
  const std::string& output() const { return out_; }
  const std::string& errors() const { return err_; }

  // Reads standard output until a line starting with prefix appears; returns that line's
  // remainder, or absent when the process ended or the timeout passed first.
  std::optional<std::string> wait_for_line(const std::string& prefix,
                                           std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (std::size_t start = 0; start < out_.size();) {
        const auto end = out_.find('\n', start);
        if (end == std::string::npos) break;
        if (out_.compare(start, prefix.size(), prefix) == 0)
          return out_.substr(start + prefix.size(), end - start - prefix.size());
        start = end + 1;
      }
      if (!pump(deadline)) return std::nullopt;
    }
  }

  // Waits for the exit, reading the output meanwhile; the exit status, or absent on timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pump(deadline)) {
    }
    if (pid_ <= 0) return status_;
    // Output closed: the process is ending; give it until the deadline.
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

 private:
  // Reads whatever arrives before the deadline; false once both pipes are closed or the
  // deadline has passed.
  bool pump(std::chrono::steady_clock::time_point deadline) {
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) return false;
    read_ready(fds[0], out_fd_, out_);
    read_ready(fds[1], err_fd_, err_);
    return true;
  }

  static void read_ready(const pollfd& pfd, int& fd, std::string& into) {
    if (fd < 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(fd);
      fd = -1;
    }
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  int status_ = -1;
};

}  // namespace tolbu_test
