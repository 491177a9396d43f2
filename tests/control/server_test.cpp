// Life cycle of the control server and its defences against misbehaving clients.

#include <future>

#include "support.hpp"
#include "tolbu_sdk/errors.hpp"

namespace {

using namespace control_test;
using tolbu_sdk::APIServer;

// A listening socket on all interfaces holding an ephemeral port.
class PortHolder {
 public:
  PortHolder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(fd_, 1), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~PortHolder() { ::close(fd_); }
  int port = 0;

 private:
  int fd_ = -1;
};

// Runs f on another thread; false when it has not returned within the timeout.
template <typename F>
bool finishes_within(std::chrono::milliseconds timeout, F f) {
  auto done = std::async(std::launch::async, std::move(f));
  return done.wait_for(timeout) == std::future_status::ready;
}

TEST(ServerLifecycle, StartsServesAndStopsFromAnotherThread) {
  LogCapture log;
  TestApp app;
  APIServer server(app, 0);  // all interfaces, as by default
  EXPECT_FALSE(server.is_running());
  EXPECT_EQ(server.port(), 0);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  const int port = server.port();
  ASSERT_GT(port, 0);
  EXPECT_TRUE(server.is_running());
  EXPECT_TRUE(log.contains("INFO|Control API Server started on port " + std::to_string(port)));
  EXPECT_EQ(get(port, "/status").status, 200);
  EXPECT_THROW(server.start(), tolbu_sdk::RuntimeError);

  Connection idle(port);  // a client in the middle of its request must not hold the stop up
  ASSERT_TRUE(idle.send("GET /sta"));
  EXPECT_TRUE(finishes_within(4s, [&] {
    server.shutdown();
    server.join();
  }));
  EXPECT_FALSE(server.is_running());
  EXPECT_TRUE(server.has_server());
  EXPECT_TRUE(log.contains("INFO|Control API Server stopped"));
  EXPECT_FALSE(Connection(port).connected());
  server.shutdown();  // twice is harmless
}

TEST(ServerLifecycle, ShutdownWithoutStartDoesNothing) {
  LogCapture log;
  TestApp app;
  APIServer server(app, 0);
  server.shutdown();
  EXPECT_FALSE(server.has_server());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_THROW(APIServer(app, 65536), tolbu_sdk::ValueError);
  EXPECT_THROW(APIServer(app, -1), tolbu_sdk::ValueError);
}

TEST(ServerLifecycle, PortAlreadyTakenEndsTheThreadWithTheReason) {
  LogCapture log;
  PortHolder holder;
  TestApp app;
  APIServer server(app, holder.port);
  server.start();
  EXPECT_TRUE(finishes_within(4s, [&] { server.join(); }));
  EXPECT_FALSE(server.is_running());
  EXPECT_FALSE(server.has_server());
  EXPECT_FALSE(server.wait_until_listening(1ms));
  EXPECT_TRUE(log.contains("ERROR|Failed to start API Server on port " +
                           std::to_string(holder.port) + ": Address already in use"))
      << (log.lines().empty() ? "" : log.lines().back());
  server.shutdown();
  EXPECT_FALSE(log.contains("Control API Server stopped"));
}

TEST(ServerLifecycle, ShutdownRightAfterStartIsNotLost) {
  TestApp app;
  APIServer server(app, 0, loopback_options());
  server.start();
  EXPECT_TRUE(finishes_within(4s, [&] {
    server.shutdown();
    server.join();
  }));
  EXPECT_FALSE(server.is_running());
}

TEST(ServerLifecycle, ShutdownFromTheServerThreadDoesNotWaitForItself) {
  TestApp app;
  APIServer server(app, 0, loopback_options());
  app.update([&] { app.on_status = [&] { server.shutdown(); }; });
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  const int port = server.port();
  EXPECT_EQ(get(port, "/status").body, R"({"status": "RUNNING"})");  // the request still ends
  EXPECT_TRUE(finishes_within(4s, [&] { server.join(); }));
  EXPECT_FALSE(Connection(port).connected());
}

TEST(ServerLifecycle, DestroyingAServingObjectReturns) {
  TestApp app;
  auto server = std::make_unique<APIServer>(app, 0, loopback_options());
  server->start();
  ASSERT_TRUE(server->wait_until_listening(5s));
  Connection idle(server->port());
  ASSERT_TRUE(idle.connected());
  EXPECT_TRUE(finishes_within(4s, [&] { server.reset(); }));
}

class Misbehaving : public ::testing::Test {
 protected:
  void SetUp() override {
    auto options = loopback_options();
    options.read_timeout = 300ms;
    options.header_limit = 1024;
    options.body_limit = 2048;
    server = std::make_unique<APIServer>(app, 0, options);
    server->start();
    ASSERT_TRUE(server->wait_until_listening(5s));
    port = server->port();
  }

  TestApp app;
  std::unique_ptr<APIServer> server;
  int port = 0;
};

TEST_F(Misbehaving, SilentClientTimesOutAndTheNextOneIsServed) {
  Connection idle(port);
  ASSERT_TRUE(idle.connected());
  // Queued behind the silent client on the one-at-a-time server.
  auto next = std::async(std::launch::async, [&] { return get(port, "/status"); });
  const auto timed_out = idle.read_to_end(3s);
  ASSERT_TRUE(timed_out.has_value()) << "the silent client was never let go";
  const auto reply = parse_reply(*timed_out);
  EXPECT_EQ(reply.status, 408);
  EXPECT_EQ(reply.body, R"({"error": "Request timeout"})");
  ASSERT_EQ(next.wait_for(4s), std::future_status::ready);
  EXPECT_EQ(next.get().body, R"({"status": "RUNNING"})");
}

TEST_F(Misbehaving, SlowTrickleIsCutAtTheDeadline) {
  Connection slow(port);
  ASSERT_TRUE(slow.send("GET /status HTTP/1.1\r\n"));
  const auto started = std::chrono::steady_clock::now();
  bool answered = false;
  while (!answered && std::chrono::steady_clock::now() - started < 3s) {
    slow.send("X-Pad: 1\r\n");
    answered = slow.readable(50ms);
  }
  ASSERT_TRUE(answered) << "the trickle kept the connection past its deadline";
  const auto answer = slow.read_to_end();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(parse_reply(*answer).status, 408);
}

TEST_F(Misbehaving, OversizedHeadAndBodyAreRefused) {
  const std::string huge_head =
      "GET /status HTTP/1.1\r\nX-Big: " + std::string(4000, 'a') + "\r\n\r\n";
  const auto head = round_trip(port, huge_head);
  EXPECT_EQ(head.status, 431);
  EXPECT_EQ(head.body, R"({"error": "Request head too large"})");

  const auto long_target = get(port, "/logs?limit=" + std::string(2000, '1'));
  EXPECT_EQ(long_target.status, 431);

  const auto body = request(port, "POST", "/stop", std::string(5000, 'b'));
  EXPECT_EQ(body.status, 413);
  EXPECT_FALSE(app._stop_event.is_set());

  const auto small = request(port, "POST", "/stop", R"({"force": true})");  // read, ignored
  EXPECT_EQ(small.body, R"({"message": "Stop signal sent"})");
}

TEST_F(Misbehaving, GarbageIsABadRequestAndHangUpsAreHarmless) {
  const auto garbage = round_trip(port, "HELLO THERE\r\n\r\n");
  EXPECT_EQ(garbage.status, 400);
  EXPECT_TRUE(garbage.body.starts_with(R"({"error": "Bad request)")) << garbage.body;
  {
    Connection quitter(port);
    quitter.send("GET /status HT");
  }
  { Connection silent(port); }
  // Keep-alive is not honoured: one request per connection, then the server closes.
  const auto reply =
      round_trip(port, "GET /progress HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(reply.body, R"({"progress": 45.5})");
  EXPECT_EQ(get(port, "/status").status, 200);
}

}  // namespace
