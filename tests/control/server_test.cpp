// Life cycle of the control server and its defences against misbehaving clients.

#include <future>
#include <memory>
#include <vector>

#include "support.hpp"
#include "tolbu_sdk/errors.hpp"

namespace {

using namespace control_test;
using tolbu_sdk::APIServer;

// Runs f on another thread; false when it has not returned within the timeout.
template <typename F>
bool finishes_within(std::chrono::milliseconds timeout, F f) {
  return std::async(std::launch::async, std::move(f)).wait_for(timeout) ==
         std::future_status::ready;
}

TEST(ServerLifecycle, StartsServesAndStopsFromAnotherThread) {
  LogCapture log;
  TestApp app;
  APIServer server(app, 0);  // all interfaces, as by default
  EXPECT_EQ(server.port(), 0);
  server.shutdown();          // never started: nothing
  EXPECT_FALSE(log.has(""));  // not a line
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  const int port = server.port();
  EXPECT_TRUE(server.is_running());
  EXPECT_TRUE(
      log.has("INFO:tolbu_sdk.control:Control API Server started on port " + std::to_string(port)));
  EXPECT_EQ(get(port, "/status").status, 200);
  EXPECT_THROW(server.start(), tolbu_sdk::RuntimeError);

  Connection idle(port);  // a client halfway through its request must not hold the stop up
  ASSERT_TRUE(idle.send("GET /sta"));
  EXPECT_TRUE(finishes_within(4s, [&] { server.shutdown(), server.join(); }));
  EXPECT_FALSE(server.is_running());
  EXPECT_TRUE(log.has("INFO:tolbu_sdk.control:Control API Server stopped"));
  EXPECT_FALSE(Connection(port).connected());
  EXPECT_THROW(APIServer(app, 65536), tolbu_sdk::ValueError);
}

TEST(ServerLifecycle, PortAlreadyTakenEndsTheThreadWithTheReason) {
  LogCapture log;
  TestApp app;
  APIServer first(app, 0);
  first.start();
  ASSERT_TRUE(first.wait_until_listening(5s));
  APIServer second(app, first.port());
  second.start();
  EXPECT_TRUE(finishes_within(4s, [&] { second.join(); }));
  EXPECT_FALSE(second.is_running());
  EXPECT_FALSE(second.has_server());
  EXPECT_TRUE(log.has("ERROR:tolbu_sdk.control:Failed to start API Server on port " +
                      std::to_string(first.port()) + ": Address already in use"));
  EXPECT_EQ(get(first.port(), "/status").status, 200);
}

TEST(ServerLifecycle, ShutdownIsNeverLostNorWaitsForItself) {
  TestApp app;
  {
    APIServer server(app, 0, loopback_options());
    server.start();  // stopped before it may even listen
    EXPECT_TRUE(finishes_within(4s, [&] { server.shutdown(), server.join(); }));
    EXPECT_FALSE(server.is_running());
  }
  APIServer server(app, 0, loopback_options());
  app.locked([&] { app.on_status = [&] { server.shutdown(); }; });  // from the server thread
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  EXPECT_EQ(get(server.port(), "/status").body, R"({"status": "RUNNING"})");
  EXPECT_TRUE(finishes_within(4s, [&] { server.join(); }));
  EXPECT_FALSE(Connection(server.port()).connected());
}

// A request stuck in the application: shutdown() says so, the destructor does not wait a
// second time, and the thread reports the stop once the call returns.
TEST(ServerLifecycle, ShutdownGivesUpOnceOnAStuckRequest) {
  LogCapture log;
  TestApp app;
  tolbu_sdk::Application::StopEvent entered, release;
  app.locked([&] {
    app.on_status = [&] {
      entered.set();
      release.wait_for(30s);
    };
  });
  auto options = loopback_options();
  options.shutdown_timeout = 1000ms;
  auto server = std::make_unique<APIServer>(app, 0, options);
  server->start();
  ASSERT_TRUE(server->wait_until_listening(5s));
  auto stuck = std::async(std::launch::async, [&, port = server->port()] {
    Connection c(port);
    c.send("GET /status HTTP/1.1\r\n\r\n");
    return c.read_to_end(30s);
  });
  ASSERT_TRUE(entered.wait_for(5s));

  const auto begin = std::chrono::steady_clock::now();
  server->shutdown();
  EXPECT_TRUE(log.has("ERROR:tolbu_sdk.control:Control API Server did not stop within 1000 ms"));
  EXPECT_FALSE(log.has("Control API Server stopped"));
  server->shutdown();  // again: no second wait
  server.reset();
  const auto waited = std::chrono::steady_clock::now() - begin;
  // One timeout's wait, not two (the margin is for a loaded machine).
  EXPECT_LT(waited, 1800ms);
  EXPECT_FALSE(log.has("Control API Server stopped"));

  release.set();
  EXPECT_TRUE(log.has("INFO:tolbu_sdk.control:Control API Server stopped", 5s));
  EXPECT_EQ(stuck.wait_for(10s), std::future_status::ready);
}

// Idle and trickling clients are read side by side with everyone else: they never hold up a
// complete request, however many there are, and the server keeps accepting.
TEST(ServerLifecycle, IdleClientsNeverDelayAnotherRequest) {
  TestApp app;
  auto options = loopback_options();
  options.read_timeout = 60s;  // the idle clients outlast the whole test
  APIServer server(app, 0, options);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  const int port = server.port();
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<Connection>(port));
    ASSERT_TRUE(idle.back()->connected()) << i;
    if (i % 2 == 1) idle.back()->send("GET /status HTTP/1.1\r\nX-Slow: ");
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(get(port, "/status").status, 200) << i;
    idle[5]->send("a");  // a trickle keeps its own deadline only
  }
  EXPECT_EQ(post(port, "/stop").status, 200);
  EXPECT_TRUE(app._stop_event.is_set());
  for (const auto& c : idle) EXPECT_FALSE(c->readable(0ms));  // none answered or cut yet
  // A client that completes its request late is still answered.
  idle[1]->send("1\r\n\r\n");
  EXPECT_EQ(parse_reply(idle[1]->read_to_end()).status, 200);
}

TEST(ServerLifecycle, ConnectionLimitMakesRoomForNewClients) {
  TestApp app;
  auto options = loopback_options();
  options.read_timeout = 60s;
  options.max_connections = 3;
  APIServer server(app, 0, options);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  const int port = server.port();
  std::vector<std::unique_ptr<Connection>> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(std::make_unique<Connection>(port));
  ASSERT_TRUE(idle[2]->send("GET /sta"));  // the server has seen all three when this arrives
  EXPECT_EQ(get(port, "/status").status, 200);
  // The longest-waiting idle client gave way, closed without an answer.
  EXPECT_TRUE(idle[0]->readable(5s));
  EXPECT_EQ(idle[0]->read_to_end(), "");
  EXPECT_FALSE(idle[1]->readable(0ms));
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

TEST_F(Misbehaving, SilentOrTricklingClientsAreCutAtTheDeadline) {
  Connection idle(port);
  auto queued = std::async(std::launch::async, [&] { return get(port, "/status"); });
  const auto reply = parse_reply(idle.read_to_end(3s));
  EXPECT_EQ(reply.status, 408);
  EXPECT_EQ(reply.body, R"({"error": "Request timeout"})");
  ASSERT_EQ(queued.wait_for(4s), std::future_status::ready);
  EXPECT_EQ(queued.get().status, 200);

  Connection slow(port);
  slow.send("GET /status HTTP/1.1\r\n");
  bool answered = false;
  for (int i = 0; i < 60 && !answered; ++i)
    answered = slow.send("X-Pad: 1\r\n") && slow.readable(50ms);
  ASSERT_TRUE(answered) << "the trickle kept the connection past its deadline";
  EXPECT_EQ(parse_reply(slow.read_to_end()).status, 408);
}

TEST_F(Misbehaving, OversizedRequestsGarbageAndHangUps) {
  const auto head =
      round_trip(port, "GET /status HTTP/1.1\r\nX: " + std::string(4000, 'a') + "\r\n\r\n");
  EXPECT_EQ(head.status, 431);
  EXPECT_EQ(head.body, R"({"error": "Request head too large"})");
  EXPECT_EQ(get(port, "/logs?limit=" + std::string(2000, '1')).status, 431);
  EXPECT_EQ(request(port, "POST", "/stop", std::string(5000, 'b')).status, 413);
  EXPECT_FALSE(app._stop_event.is_set());
  EXPECT_EQ(request(port, "POST", "/stop", "{}").status, 200);  // a small body is read, ignored

  const auto garbage = round_trip(port, "HELLO THERE\r\n\r\n");
  EXPECT_EQ(garbage.status, 400);
  EXPECT_TRUE(garbage.body.starts_with(R"({"error": "Bad request)")) << garbage.body;
  Connection(port).send("GET /status HT");  // hangs up halfway
  const auto kept = round_trip(port, "GET /progress HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(kept.body, R"({"progress": 45.5})");  // and closed: one request per connection
}

TEST(ServerAuth, ABearerTokenGuardsEveryRoute) {
  TestApp app;
  auto options = loopback_options();
  options.bearer_token = "s3cret";
  APIServer server(app, 0, options);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(5s));
  struct Case {
    const char* header;  // the Authorization line, or "" for none
    int status;
  };
  for (const auto& c : {Case{"", 401}, Case{"Authorization: Bearer wrong\r\n", 401},
                        Case{"Authorization: Bearer s3cre\r\n", 401},
                        Case{"Authorization: s3cret\r\n", 401},
                        Case{"Authorization: Bearer s3cret\r\n", 200}}) {
    const auto reply = round_trip(
        server.port(), std::string("GET /status HTTP/1.1\r\n") + c.header + "\r\n");
    EXPECT_EQ(reply.status, c.status) << c.header;
  }
  const auto stop = round_trip(server.port(), "POST /stop HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(stop.status, 401);
  EXPECT_FALSE(app._stop_event.is_set());
  server.shutdown();
}

}  // namespace
