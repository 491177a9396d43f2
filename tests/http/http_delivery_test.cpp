// At most once: a request is never written twice behind the caller's back, even when a warmed
// keep-alive connection dies after the server acted on the request.

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace http = tolbu_sdk::platform::http;
namespace asio = boost::asio;

namespace {

// A keep-alive HTTP/1.1 peer on an ephemeral port. For each request it reads (head and
// Content-Length body) it records "METHOD target" and asks the script what to do.
enum class Act { answer, drop, answer_and_close };

class KeepAlivePeer {
 public:
  // connection: 0 for the first accepted connection; request: index of the request on it.
  using Script = std::function<Act(int connection, int request)>;

  explicit KeepAlivePeer(Script answer) : answer_(std::move(answer)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
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
    std::lock_guard lock(mutex_);
    for (auto& session : sessions_) session.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  int connections() const { return connections_.load(); }

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
  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::vector<std::thread> sessions_;
  std::thread acceptor_;
};

// The second request on the first connection is read and then dropped; all else is answered.
Act drop_second_on_first(int connection, int request) {
  return connection == 0 && request == 1 ? Act::drop : Act::answer;
}

std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const tolbu_sdk::TransportError& e) {
    return e.what();
  }
  return "(no TransportError)";
}

}  // namespace

TEST(HttpDelivery, PostOnDroppedWarmConnectionIsReportedOnceAndNeverResent) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  boost::json::value body = boost::json::object{{"qty", 1}};
  EXPECT_EQ(client.request("POST", peer.url("/warm"), {}, &body).status_code, 200);
  std::string message =
      message_of([&] { client.request("POST", peer.url("/orders/new/R1"), {}, &body); });
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_NE(message.find("POST " + peer.url("/orders/new/R1")), std::string::npos) << message;
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /warm", "POST /orders/new/R1"}));
  EXPECT_EQ(peer.connections(), 1);
  // The pool holds nothing broken: the next call opens a new connection and succeeds.
  EXPECT_EQ(client.request("POST", peer.url("/after"), {}, &body).status_code, 200);
}

TEST(HttpDelivery, GetOnDroppedWarmConnectionIsRetriedOnceOnAFreshConnection) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  EXPECT_EQ(client.get(peer.url("/warm")).status_code, 200);
  auto response = client.get(peer.url("/candles"));
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.json().at("n"), 0) << "answered as the first request of a new connection";
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"GET /warm", "GET /candles", "GET /candles"}));
  EXPECT_EQ(client.connections_opened(), 2u);
}

TEST(HttpDelivery, GetIsRetriedOnlyOnceAndNeverAfterAFreshConnectionFails) {
  // Every connection answers its first request and drops its second.
  KeepAlivePeer peer([](int, int request) { return request == 0 ? Act::answer : Act::drop; });
  http::Client client;
  EXPECT_EQ(client.get(peer.url("/warm")).status_code, 200);
  EXPECT_EQ(client.get(peer.url("/a")).status_code, 200);  // retried once, answered
  // The retry's connection is warm now and drops /b: retried again on a third connection.
  EXPECT_EQ(client.get(peer.url("/b")).status_code, 200);

  KeepAlivePeer hostile([](int, int) { return Act::drop; });
  http::Client fresh;
  std::string message = message_of([&] { fresh.get(hostile.url("/x")); });
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_EQ(hostile.seen().size(), 1u) << "a fresh connection's failure is not retried";
}

TEST(HttpDelivery, AwaitedPostOnDroppedWarmConnectionFailsTheSameWay) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  asio::io_context loop;
  auto done = asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<std::string> {
        auto warm = co_await client.async_request("POST", peer.url("/warm"));
        EXPECT_EQ(warm.status_code, 200);
        try {
          co_await client.async_request("POST", peer.url("/orders/cancel/9"));
        } catch (const tolbu_sdk::TransportError& e) {
          co_return e.what();
        }
        co_return "(no TransportError)";
      },
      asio::use_future);
  loop.run();
  std::string message = done.get();
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /warm", "POST /orders/cancel/9"}));
}

TEST(HttpDelivery, IdleConnectionClosedByThePeerIsReplacedBeforeAnythingIsWritten) {
  KeepAlivePeer peer([](int, int) { return Act::answer_and_close; });
  http::Client client;
  EXPECT_EQ(client.request("POST", peer.url("/one")).status_code, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the peer's close arrives
  EXPECT_EQ(client.request("POST", peer.url("/two")).status_code, 200);
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /one", "POST /two"}));
  EXPECT_EQ(client.connections_opened(), 2u);
}
