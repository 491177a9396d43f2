#pragma once
// Small scripted HTTP peers on 127.0.0.1 and an ephemeral port, for tests that need a server
// to misbehave in ways tolbu-sim does not.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace http_test {

// The socket's descriptor; port receives the port the kernel chose.
inline int listen_on_loopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, 16);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// A listening socket on an ephemeral port that runs one scripted exchange per connection.
class RawPeer {
 public:
  explicit RawPeer(std::function<void(int fd, const std::string& head)> serve)
      : serve_(std::move(serve)) {
    fd_ = listen_on_loopback(port_);
    thread_ = std::thread([this] {
      for (;;) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        if (stopping_) {
          ::close(client);
          return;
        }
        // Reads the request head before answering.
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && ::recv(client, &c, 1, 0) == 1)
          head.push_back(c);
        ++served_;
        serve_(client, head);
        ::close(client);
      }
    });
  }
  ~RawPeer() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url() const { return base() + "/x"; }
  // Requests received so far (one per connection).
  int served() const { return served_.load(); }

 private:
  std::function<void(int, const std::string&)> serve_;
  std::atomic<int> served_{0};
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

inline void send_text(int fd, std::string_view text) {
  ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// A keep-alive HTTP/1.1 peer on an ephemeral port. For each request it reads (head and
// Content-Length body) it records "METHOD target" and asks the script what to do.
enum class Act { answer, drop, answer_and_close };

class KeepAlivePeer {
 public:
  // connection: 0 for the first accepted connection; request: index of the request on it.
  using Script = std::function<Act(int connection, int request)>;

  explicit KeepAlivePeer(Script answer) : answer_(std::move(answer)) {
    fd_ = listen_on_loopback(port_);
    acceptor_ = std::thread([this] {
      for (int index = 0;; ++index) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0 || stopping_) {
          if (client >= 0) ::close(client);
          return;
        }
        std::lock_guard lock(mutex_);
        sessions_.emplace_back([this, client, index] { serve(client, index); });
      }
    });
  }

  ~KeepAlivePeer() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    acceptor_.join();
    // Joined outside the lock: a session may still be recording a late request.
    std::vector<std::thread> sessions;
    {
      std::lock_guard lock(mutex_);
      sessions.swap(sessions_);
    }
    for (auto& session : sessions) session.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  int connections() const { return connections_.load(); }
  // Connections the client closed while the peer waited for a request.
  int closed() const { return closed_.load(); }

 private:
  void serve(int fd, int connection) {
    ++connections_;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string pending;
    for (int request = 0;; ++request) {
      std::size_t end;
      while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
          ++closed_;  // by the client, or silent for 5 s
          ::close(fd);
          return;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
      }
      std::string head = pending.substr(0, end);
      std::size_t length = 0;
      if (auto at = head.find("Content-Length: "); at != std::string::npos)
        length = std::stoul(head.substr(at + 16));
      while (pending.size() < end + 4 + length) {
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
      }
      pending.erase(0, end + 4 + length);
      {
        std::lock_guard lock(mutex_);
        seen_.push_back(head.substr(0, head.find(" HTTP/1.1")));
      }
      Act act = answer_(connection, request);
      if (act == Act::drop) {
        ::close(fd);  // acted on the request, then lost the connection
        return;
      }
      std::string body = "{\"n\": " + std::to_string(request) + "}";
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
      ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      if (act == Act::answer_and_close) {
        ::close(fd);
        return;
      }
    }
  }

  Script answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> closed_{0};
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::vector<std::thread> sessions_;
  std::thread acceptor_;
};

}  // namespace http_test
