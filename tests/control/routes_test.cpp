// Every route of the control API, over real HTTP on loopback.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <future>
#include <limits>
#include <regex>

#include "support.hpp"

namespace {

using namespace control_test;
using Filter = TestApp::Filter;

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    server.start();
    ASSERT_TRUE(server.wait_until_listening(5s));
    port = server.port();
  }
  LogCapture log;
  TestApp app;
  tolbu_sdk::APIServer server{app, 0, loopback_options()};
  int port = 0;
};

TEST_F(Routes, JsonAnswersByteForByteWithTheFacilityHeaders) {
  const auto reply = get(port, "/status");
  EXPECT_TRUE(reply.head.starts_with("HTTP/1.0 200 OK\r\n")) << reply.head;
  EXPECT_EQ(reply.body, R"({"status": "RUNNING"})");
  EXPECT_EQ(reply.header("Content-Type"), "application/json");
  EXPECT_NE(reply.header("Server"), "");
  EXPECT_TRUE(std::regex_match(reply.header("Date"),
                               std::regex(R"(\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT)")));
  EXPECT_EQ(reply.header("Content-Length"), "");

  app.locked([&] {
    app.status =
        json::object{{"state", "\xC4\x90\x61ng ch\xE1\xBA\xA1y"}, {"e", "\xF0\x9F\x98\x80"}};
    app.progress = std::numeric_limits<double>::quiet_NaN();
  });
  EXPECT_EQ(get(port, "/status").body,
            R"({"status": {"state": "\u0110ang ch\u1ea1y", "e": "\ud83d\ude00"}})");
  EXPECT_EQ(get(port, "/progress").body, R"({"progress": NaN})");
  app.locked([&] { app.progress = 100.0; });
  EXPECT_EQ(get(port, "/progress").body, R"({"progress": 100.0})");
}

TEST_F(Routes, ExactRoutesAndUnknownPathsAnswer404) {
  for (const char* target : {"/status?verbose=1", "/status/", "/progress/", "/report?x=1",
                             "/openapi.json/", "/docs?x", "/", "/STATUS", "/stop"}) {
    const auto reply = get(port, target);
    EXPECT_EQ(reply.status, 404) << target;
    EXPECT_EQ(reply.body, R"({"error": "Endpoint not found"})") << target;
  }
  EXPECT_EQ(post(port, "/status").status, 404);
  EXPECT_EQ(post(port, "/stopx").status, 404);
  EXPECT_EQ(request(port, "PUT", "/stop").body, R"x({"error": "Unsupported method ('PUT')"})x");
  EXPECT_EQ(request(port, "DELETE", "/status").status, 501);
  EXPECT_FALSE(app._stop_event.is_set());
}

TEST_F(Routes, ReportPassesThroughAndFailuresAreAnswered500) {
  EXPECT_EQ(get(port, "/report").body, "{}");
  app.locked([&] { app.report = json::parse(R"({"zeta": 1, "metrics": {"s": 1.5}})"); });
  EXPECT_EQ(get(port, "/report").body, R"({"zeta": 1, "metrics": {"s": 1.5}})");
  app.locked([&] { app.report = json::array{}; });
  EXPECT_EQ(get(port, "/report").body, "{}");

  app.locked([&] { app.report = json::array{1}; });
  auto reply = get(port, "/report");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, R"({"error": "Report must be an object, got array"})");
  EXPECT_TRUE(log.has("ERROR:tolbu_sdk.control:Control request GET /report failed"));

  app.locked([&] { app.on_status = [] { throw std::runtime_error("db \"gone\""); }; });
  reply = get(port, "/status");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, R"({"error": "db \"gone\""})");
  EXPECT_TRUE(log.has("ERROR:tolbu_sdk.control:Control request GET /status failed"));
  EXPECT_EQ(get(port, "/progress").status, 200);  // serving goes on
}

TEST_F(Routes, LogsLimitFromTheQuery) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"/logs", 100},
      {"/logs?limit=5", 5},
      {"/logs?limit=", 100},
      {"/logs?limit", 100},
      {"/logsx", 100},
      {"/logs?limit=2&limit=9", 2},
      {"/logs?x&limit=0", 0},
      {"/logs?limit=+7", 7},
      {"/logs?limit=%2D3", -3},
      {"/logs?limit=1_0", 10},
      {"/logs?limit=7#frag", 7},
      {"/logs#?limit=7", 100},
      {"/logs?limit=-9223372036854775808", std::numeric_limits<std::int64_t>::min()}};
  for (const auto& [target, limit] : cases) {
    EXPECT_EQ(get(port, target).status, 200) << target;
    EXPECT_EQ(app.locked([&] { return app.limits.back(); }), limit) << target;
  }
  EXPECT_EQ(get(port, "/logs?limit=2").body, R"({"logs": ["line 0", "line 1"], "total": 2})");

  const auto count = app.locked([&] { return app.limits.size(); });
  for (const char* value : {"abc", "5.0", "1__0", "_1", "", "9223372036854775808", "0x10"}) {
    const auto reply = get(port, std::string("/logs?limit=") + value + "%20");
    EXPECT_EQ(reply.status, 400) << value;
    EXPECT_NE(reply.body.find("'limit'"), std::string::npos) << reply.body;
  }
  EXPECT_EQ(app.locked([&] { return app.limits.size(); }), count);  // never reached the app
}

TEST_F(Routes, OrdersAndTradesFiltersFromTheQuery) {
  app.locked([&] { app.orders = json::array{json::object{{"id", "o1"}}}; });
  EXPECT_EQ(get(port, "/orders").body, R"({"orders": [{"id": "o1"}], "count": 1})");
  get(port, "/orders?symbol=ABC");
  get(port, "/orders?account_id=1&account_id=2&symbol=");
  get(port, "/orders?symbol=VN30F%201M+x&account_id=%zz");
  get(port, "/orders?symbol=%C3%A9%FF");
  EXPECT_EQ(get(port, "/trades?account_id=a%2B1").body, R"({"trades": [1, 2], "count": 2})");
  get(port, "/trades");
  const std::vector<std::pair<Filter, Filter>> expected = {{std::nullopt, std::nullopt},
                                                           {std::nullopt, "ABC"},
                                                           {"1", std::nullopt},
                                                           {"%zz", "VN30F 1M x"},
                                                           {std::nullopt, "\xC3\xA9\xEF\xBF\xBD"},
                                                           {"a+1", "trades"},
                                                           {std::nullopt, "trades"}};
  EXPECT_EQ(app.locked([&] { return app.filters; }), expected);
}

TEST_F(Routes, StopWithoutARunningLoopSetsTheEventAndStatus) {
  boost::asio::io_context idle;  // attached but run by nobody: not running
  for (auto* loop : {static_cast<boost::asio::io_context*>(nullptr), &idle}) {
    app._loop.attach(loop);
    app._stop_event.clear();
    app._status = "RUNNING";
    EXPECT_EQ(post(port, "/stop").body, R"({"message": "Stop signal sent"})");
    EXPECT_TRUE(app._stop_event.is_set());
    EXPECT_EQ(app._status.get(), "STOPPING");
  }
  // The loop that was offered the stop and did not take it in time never runs it later.
  idle.restart();
  idle.poll();
  EXPECT_FALSE(app.stopped.is_set());
  EXPECT_TRUE(log.has("WARNING:tolbu_sdk.control:Event loop attached but not running"));
}

// The idiomatic style: the runtime calls io_context::run() itself, without EventLoop::run()
// or a Scope.
TEST_F(Routes, StopReachesALoopRunByPlainIoContextRun) {
  boost::asio::io_context context;
  auto work = boost::asio::make_work_guard(context);
  app._loop.attach(&context);
  EXPECT_FALSE(app._loop.is_running(50ms));  // not run yet
  std::promise<std::thread::id> ready;
  boost::asio::post(context, [&] { ready.set_value(std::this_thread::get_id()); });
  std::thread thread([&] { context.run(); });
  const std::thread::id loop_id = ready.get_future().get();
  EXPECT_TRUE(app._loop.is_running());
  // Asked on the loop's own thread, it answers at once instead of waiting for itself.
  std::promise<bool> on_loop;
  boost::asio::post(context, [&] { on_loop.set_value(app._loop.is_running(5s)); });
  auto answer = on_loop.get_future();
  ASSERT_EQ(answer.wait_for(1s), std::future_status::ready);
  EXPECT_TRUE(answer.get());

  EXPECT_EQ(post(port, "/stop").body, R"({"message": "Stop signal sent"})");
  EXPECT_TRUE(app.stopped.wait_for(5s));
  EXPECT_EQ(app.locked([&] { return app.stop_thread; }), loop_id);
  EXPECT_FALSE(app._stop_event.is_set());
  EXPECT_NE(app._status.get(), "STOPPING");

  work.reset();
  thread.join();
  EXPECT_FALSE(app._loop.is_running());  // run() has returned
  app._loop.attach(nullptr);
}

// The strategy's loop on its own thread.
struct RunningLoop {
  explicit RunningLoop(TestApp& app) : app(app) {
    app._loop.attach(&context);
    boost::asio::post(context, [this] { ready.set_value(std::this_thread::get_id()); });
    thread = std::thread([this] { this->app._loop.run(); });
    id = ready.get_future().get();
  }
  ~RunningLoop() {
    work.reset();
    thread.join();
    app._loop.attach(nullptr);
  }
  TestApp& app;
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work =
      boost::asio::make_work_guard(context);
  std::promise<std::thread::id> ready;
  std::thread::id id;
  std::thread thread;
};

TEST_F(Routes, StopIsAnsweredAtOnceAndRunsOnTheLoopThread) {
  RunningLoop loop(app);
  tolbu_sdk::Application::StopEvent gate;
  boost::asio::post(loop.context, [&] { gate.wait_for(5s); });  // keeps the loop busy
  EXPECT_EQ(post(port, "/stop").body, R"({"message": "Stop signal sent"})");
  EXPECT_FALSE(app.stopped.is_set());  // answered before stop() could run
  gate.set();
  ASSERT_TRUE(app.stopped.wait_for(5s));
  EXPECT_EQ(app.locked([&] { return app.stop_thread; }), loop.id);
  EXPECT_FALSE(app._stop_event.is_set());

  // A failing stop is logged and does not escape into the strategy's loop.
  app.stopped.clear();
  app.locked([&] { app.stop_throws = true; });
  EXPECT_EQ(post(port, "/stop").status, 200);
  EXPECT_TRUE(log.has("ERROR:tolbu_sdk.control:Strategy stop failed", 5s));
  std::promise<void> alive;
  boost::asio::post(loop.context, [&] { alive.set_value(); });
  EXPECT_EQ(alive.get_future().wait_for(5s), std::future_status::ready);
}

TEST_F(Routes, OpenApiDocumentInItsOrderAndDocsPage) {
  const auto schema = get(port, "/openapi.json");
  EXPECT_EQ(schema.header("Content-Type"), "application/json");
  const auto ok = [](const char* description, const char* example) {
    return std::string(R"("responses": {"200": {"description": ")") + description +
           R"(", "content": {"application/json": {"example": )" + example + "}}}}}";
  };
  const std::string text = R"(", "in": "query", "schema": {"type": )";
  EXPECT_EQ(
      schema.body,
      R"({"openapi": "3.0.0", "info": {"title": "Tolbu Algo SDK Control API", "version": "1.0.0", )"
      R"("description": "Control and monitor your running trading strategy."}, )"
      R"("servers": [{"url": "/"}], "paths": {"/status": {"get": {"summary": "Get Strategy Status", )" +
          ok("Current status", R"({"status": "RUNNING"})") +
          R"(}, "/progress": {"get": {"summary": "Get Backtest Progress", )" +
          ok("Current progress percentage", R"({"progress": 45.5})") +
          R"(}, "/report": {"get": {"summary": "Get Performance Report", )" +
          ok("Full backtest result", R"({"metrics": {}, "equity_curve": []})") +
          R"(}, "/stop": {"post": {"summary": "Stop Strategy", )" +
          ok("Stop signal sent", R"({"message": "Stop signal sent"})") +
          R"(}, "/logs": {"get": {"summary": "Get Strategy Logs", "parameters": [{"name": "limit)" +
          text + R"("integer", "default": 100}}], )" +
          ok("Recent log entries", R"({"logs": ["..."], "total": 100})") +
          R"(}, "/orders": {"get": {"summary": "Get Orders", "parameters": [{"name": "account_id)" +
          text + R"("string"}}, {"name": "symbol)" + text + R"("string"}}], )" +
          ok("Orders list", R"({"orders": [], "count": 0})") +
          R"(}, "/trades": {"get": {"summary": "Get Trades", "parameters": [{"name": "account_id)" +
          text + R"("string"}}], )" + ok("Trades list", R"({"trades": [], "count": 0})") + "}}}");

  const auto docs = get(port, "/docs");
  EXPECT_EQ(docs.header("Content-Type"), "text/html");
  for (const char* part :
       {"<!DOCTYPE html>", "<html lang=\"en\">", "<meta charset=\"utf-8\"",
        "<title>Tolbu Control API - Swagger UI</title>", "swagger-ui-dist@4.15.5/swagger-ui.css",
        "<div id=\"swagger-ui\"></div>",
        "swagger-ui-dist@4.15.5/swagger-ui-bundle.js\" crossorigin", "window.ui = SwaggerUIBundle",
        "url: '/openapi.json'", "dom_id: '#swagger-ui'"})
    EXPECT_NE(docs.body.find(part), std::string::npos) << part;
}

}  // namespace
