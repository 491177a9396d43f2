#pragma once
// Starts tolbu-sim as a child process on an ephemeral port for a test, reads the port from
// its first line, and stops it on destruction. Also a tiny blocking HTTP/1.1 client for the
// sim's test endpoints ("/_sim/..."), so suites need no HTTP library of their own.
//
//   tolbu_test::SimProcess sim({"--speed", "0"});
//   auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
//                                                        sim.ws_url(), sim.jwt());
//   auto journal = sim.get("/_sim/journal");        // {status, body}
//
// The sim's path comes from the compile definition TOLBU_SIM_PATH.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef TOLBU_SIM_PATH
#error "TOLBU_SIM_PATH must name the tolbu-sim executable"
#endif

namespace tolbu_test {

// The time the suites start the sim's frozen clock at: 2024-12-01T00:00:00Z.
inline constexpr std::int64_t kStart = 1733011200000;

struct HttpReply {
  int status = 0;
  std::string body;
};

class SimProcess {
 public:
  // args are passed to tolbu-sim after "--port 0 --quiet"; a "--jwt" among them is
  // remembered for jwt().
  explicit SimProcess(std::vector<std::string> args = {},
                      std::chrono::milliseconds startup_timeout = std::chrono::seconds(10))
      : args_(std::move(args)), startup_timeout_(startup_timeout) {
    for (std::size_t i = 0; i + 1 < args_.size(); ++i) {
      if (args_[i] == "--jwt") jwt_ = args_[i + 1];
    }
    start(0);
  }

  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  int port() const { return port_; }
  bool running() const { return pid_ > 0; }
  const std::string& jwt() const { return jwt_; }
  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string ws_url() const {
    return "ws://127.0.0.1:" + std::to_string(port_) + "/connection/websocket";
  }

  // Terminates the sim (SIGTERM, then SIGKILL after two seconds) and reaps it.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!reap(std::chrono::seconds(2))) {
      ::kill(pid_, SIGKILL);
      reap(std::chrono::seconds(5));
    }
    pid_ = -1;
  }

  // Kills the sim at once (no clean shutdown), as a crash would.
  void kill_hard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    reap(std::chrono::seconds(5));
    pid_ = -1;
  }

  // Starts the sim again on the same port, with the same arguments.
  void restart() {
    stop();
    start(port_);
  }

  HttpReply get(const std::string& path) const { return request("GET", path); }
  HttpReply post(const std::string& path, const std::string& body = "{}") const {
    return request("POST", path, body);
  }
  HttpReply del(const std::string& path) const { return request("DELETE", path); }

  // The same with "Authorization: Bearer <jwt>", for the sim's REST paths.
  HttpReply authorized(const std::string& method, const std::string& path,
                       const std::string& body = {}) const {
    return request(method, path, body, std::chrono::seconds(10),
                   {{"Authorization", "Bearer " + jwt_}});
  }

  // One request on a fresh connection ("Connection: close"); throws std::runtime_error on a
  // transport failure or when no answer arrives within timeout.
  HttpReply request(const std::string& method, const std::string& path,
                    const std::string& body = {},
                    std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    const std::vector<std::pair<std::string, std::string>>& headers = {}) const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("connect to tolbu-sim: " + std::string(std::strerror(errno)));
    std::string out = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                      "Connection: close\r\nContent-Type: application/json\r\n" +
                      "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
    out += "\r\n" + body;
    for (std::size_t sent = 0; sent < out.size();) {
      ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send to tolbu-sim failed");
      sent += static_cast<std::size_t>(n);
    }
    std::string in;
    char buffer[16384];
    for (;;) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n == 0) break;
      if (n < 0) throw std::runtime_error("no answer from tolbu-sim for " + method + " " + path);
      in.append(buffer, static_cast<std::size_t>(n));
    }
    auto head_end = in.find("\r\n\r\n");
    if (head_end == std::string::npos || in.compare(0, 5, "HTTP/") != 0)
      throw std::runtime_error("malformed answer from tolbu-sim");
    HttpReply reply;
    reply.status = std::stoi(in.substr(in.find(' ') + 1, 3));
    reply.body = in.substr(head_end + 4);
    return reply;
  }

 private:
  void start(int port) {
    std::vector<std::string> argv_text{TOLBU_SIM_PATH, "--port", std::to_string(port), "--quiet"};
    argv_text.insert(argv_text.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // The sim dies with the test process, even when the test crashes.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(pipe_fds[1], STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + startup_timeout_;
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd pfd{pipe_fds[0], POLLIN, 0};
      if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
      char buffer[256];
      ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    auto colon = line.rfind(':', line.find('\n'));
    if (line.find("tolbu-sim listening on ") != 0 || colon == std::string::npos) {
      stop();
      throw std::runtime_error("tolbu-sim did not start (" TOLBU_SIM_PATH "): '" + line + "'");
    }
    port_ = std::stoi(line.substr(colon + 1));
  }

  bool reap(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::vector<std::string> args_;
  std::chrono::milliseconds startup_timeout_;
  std::string jwt_ = "tolbu-sim-token";
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace tolbu_test
