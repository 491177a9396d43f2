#pragma once
// Plain-socket peers on loopback for the fuzz targets: a server that answers every request
// with the bytes of the current input, and a client that sends the bytes of the current
// input to a server and reads its answer. Both give up after a bounded time.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tolbu_fuzz {

inline int listen_loopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0)
    std::abort();
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// Waits up to timeout for fd to become readable.
inline bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

inline void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Answers every connection with the current reply: reads the request head (and as much of
// a body as arrives at once), writes the reply, closes.
class ScriptedServer {
 public:
  ScriptedServer() : fd_(listen_loopback(port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::uint16_t port() const { return port_; }
  void reply(std::string bytes) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(bytes);
  }

 private:
  void serve() {
    while (!stop_) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (stop_) return;
        continue;
      }
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
             readable(c, std::chrono::milliseconds(2000))) {
        const auto n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      std::string answer;
      {
        std::lock_guard lock(mutex_);
        answer = reply_;
      }
      send_all(c, answer);
      ::shutdown(c, SHUT_WR);
      // Let the client read it all before the close resets the connection.
      while (readable(c, std::chrono::milliseconds(200)) && ::recv(c, buf, sizeof buf, 0) > 0) {
      }
      ::close(c);
    }
  }

  std::uint16_t port_ = 0;
  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string reply_;
  std::thread thread_;
};

// Sends bytes to 127.0.0.1:port, half-closes, and returns what comes back before the server
// closes (or the time runs out).
inline std::string exchange(std::uint16_t port, std::string_view bytes,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    send_all(fd, bytes);
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline &&
           readable(fd, std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()))) {
      const auto n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

}  // namespace tolbu_fuzz
