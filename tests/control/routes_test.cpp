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
using tolbu_sdk::APIServer;

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    server.start();
    ASSERT_TRUE(server.wait_until_listening(5s));
    port = server.port();
  }

  LogCapture log;
  TestApp app;
  APIServer server{app, 0, loopback_options()};
  int port = 0;
};

TEST_F(Routes, StatusAnswerHasTheFacilityHeadersAndNoLength) {
  const auto reply = get(port, "/status");
  EXPECT_EQ(reply.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(reply.body, R"({"status": "RUNNING"})");
  EXPECT_EQ(reply.headers.at("content-type"), "application/json");
  EXPECT_FALSE(reply.headers.at("server").empty());
  EXPECT_TRUE(std::regex_match(
      reply.headers.at("date"),
      std::regex(R"([A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} GMT)")))
      << reply.headers.at("date");
  EXPECT_EQ(reply.headers.count("content-length"), 0u);
  EXPECT_EQ(reply.headers.count("access-control-allow-origin"), 0u);
}

TEST_F(Routes, JsonTextEscapesNonAsciiAndKeepsNonFiniteTokens) {
  app.update([&] {
    app.status =
        json::object{{"state", "\xC4\x90\x61ng ch\xE1\xBA\xA1y"}, {"emoji", "\xF0\x9F\x98\x80"}};
    app.progress = std::numeric_limits<double>::quiet_NaN();
  });
  EXPECT_EQ(get(port, "/status").body,
            R"({"status": {"state": "\u0110ang ch\u1ea1y", "emoji": "\ud83d\ude00"}})");
  EXPECT_EQ(get(port, "/progress").body, R"({"progress": NaN})");
  app.update([&] { app.progress = -std::numeric_limits<double>::infinity(); });
  EXPECT_EQ(get(port, "/progress").body, R"({"progress": -Infinity})");
  app.update([&] { app.progress = 100.0; });
  EXPECT_EQ(get(port, "/progress").body, R"({"progress": 100.0})");
}

TEST_F(Routes, ExactRoutesRefuseQueriesAndTrailingSlashes) {
  for (const char* target : {"/status?verbose=1", "/status/", "/progress/", "/report?x=1",
                             "/openapi.json/", "/docs?x", "/", "/STATUS", "/stop"}) {
    const auto reply = get(port, target);
    EXPECT_EQ(reply.status, 404) << target;
    EXPECT_EQ(reply.body, R"({"error": "Endpoint not found"})") << target;
  }
}

TEST_F(Routes, ReportIsPassedThroughOrEmpty) {
  EXPECT_EQ(get(port, "/report").body, "{}");
  app.update([&] { app.report = json::array{}; });
  EXPECT_EQ(get(port, "/report").body, "{}");
  app.update([&] {
    app.report = json::parse(R"({"zeta": 1, "metrics": {"sharpe": 1.5}, "equity_curve": [1, 2]})");
  });
  const auto reply = get(port, "/report");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, R"({"zeta": 1, "metrics": {"sharpe": 1.5}, "equity_curve": [1, 2]})");
}

TEST_F(Routes, ReportThatIsNotAnObjectIsAServerError) {
  app.update([&] { app.report = json::array{1, 2}; });
  const auto reply = get(port, "/report");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, R"({"error": "Report must be an object, got array"})");
  EXPECT_TRUE(log.contains("ERROR|Control request GET /report failed"));
}

TEST_F(Routes, FailingApplicationIsAnsweredAndLoggedAndServingGoesOn) {
  app.update([&] { app.on_status = [] { throw std::runtime_error("database \"gone\""); }; });
  const auto reply = get(port, "/status");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, R"({"error": "database \"gone\""})");
  EXPECT_TRUE(log.contains("ERROR|Control request GET /status failed"));
  app.update([&] { app.on_status = nullptr; });
  EXPECT_EQ(get(port, "/status").status, 200);
}

TEST_F(Routes, LogsLimitFromTheQuery) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {{"/logs", 100},
                                                                   {"/logs?limit=5", 5},
                                                                   {"/logs?limit=", 100},
                                                                   {"/logs?limit", 100},
                                                                   {"/logsx", 100},
                                                                   {"/logs?limit=2&limit=9", 2},
                                                                   {"/logs?x=1&limit=0", 0},
                                                                   {"/logs?limit=+7", 7},
                                                                   {"/logs?limit=%2D3", -3},
                                                                   {"/logs?limit=1_000", 1000},
                                                                   {"/logs?limit=7#frag", 7},
                                                                   {"/logs/?limit=1", 1}};
  for (const auto& [target, limit] : cases) {
    const auto reply = get(port, target);
    EXPECT_EQ(reply.status, 200) << target;
    std::lock_guard lock(app.mutex);
    ASSERT_FALSE(app.limits.empty()) << target;
    EXPECT_EQ(app.limits.back(), limit) << target;
  }
  EXPECT_EQ(get(port, "/logs?limit=2").body, R"({"logs": ["line 0", "line 1"], "total": 2})");
  EXPECT_EQ(get(port, "/logs").body, R"({"logs": ["line 0", "line 1", "line 2"], "total": 3})");
}

TEST_F(Routes, BadLimitIsABadRequestAndReachesNoApplication) {
  for (const char* value : {"abc", "5.0", "1__0", "_1", "1_", "99999999999999999999", "0x10"}) {
    const auto reply = get(port, std::string("/logs?limit=") + value);
    EXPECT_EQ(reply.status, 400) << value;
    const auto error = json::parse(reply.body).at("error").as_string();
    EXPECT_NE(std::string_view(error).find(value), std::string_view::npos) << error;
  }
  std::lock_guard lock(app.mutex);
  EXPECT_TRUE(app.limits.empty());
}

TEST_F(Routes, OrdersAndTradesFiltersFromTheQuery) {
  app.update([&] { app.orders = json::array{json::object{{"id", "o1"}}}; });
  EXPECT_EQ(get(port, "/orders").body, R"({"orders": [{"id": "o1"}], "count": 1})");
  get(port, "/orders?symbol=ABC");
  get(port, "/orders?account_id=1&account_id=2&symbol=");
  get(port, "/orders?symbol=VN30F%201M+x&account_id=%zz");
  get(port, "/orders?symbol=%C3%A9%FF");
  {
    std::lock_guard lock(app.mutex);
    ASSERT_EQ(app.orders_calls.size(), 5u);
    EXPECT_EQ(app.orders_calls[0].account_id, std::nullopt);
    EXPECT_EQ(app.orders_calls[0].symbol, std::nullopt);
    EXPECT_EQ(app.orders_calls[1].account_id, std::nullopt);
    EXPECT_EQ(app.orders_calls[1].symbol, "ABC");
    EXPECT_EQ(app.orders_calls[2].account_id, "1");
    EXPECT_EQ(app.orders_calls[2].symbol, std::nullopt);
    EXPECT_EQ(app.orders_calls[3].symbol, "VN30F 1M x");
    EXPECT_EQ(app.orders_calls[3].account_id, "%zz");
    EXPECT_EQ(app.orders_calls[4].symbol, "\xC3\xA9\xEF\xBF\xBD");  // bad byte replaced
  }
  EXPECT_EQ(get(port, "/trades?account_id=acc%2B1").body,
            R"({"trades": [{"id": 1}, {"id": 2}], "count": 2})");
  get(port, "/trades");
  std::lock_guard lock(app.mutex);
  ASSERT_EQ(app.trades_calls.size(), 2u);
  EXPECT_EQ(app.trades_calls[0], "acc+1");
  EXPECT_EQ(app.trades_calls[1], std::nullopt);
}

TEST_F(Routes, MethodsOtherThanGetAndPost) {
  EXPECT_EQ(post(port, "/status").status, 404);
  EXPECT_EQ(post(port, "/stopx").body, R"({"error": "Endpoint not found"})");
  const auto put = request(port, "PUT", "/stop");
  EXPECT_EQ(put.status, 501);
  EXPECT_EQ(put.body, R"x({"error": "Unsupported method ('PUT')"})x");
  EXPECT_EQ(request(port, "DELETE", "/status").status, 501);
  EXPECT_EQ(app.stops(), 0);
  EXPECT_FALSE(app._stop_event.is_set());
}

TEST_F(Routes, StopWithoutARunningLoopSetsTheEventAndStatus) {
  app._status = "RUNNING";
  EXPECT_EQ(post(port, "/stop").body, R"({"message": "Stop signal sent"})");
  EXPECT_TRUE(app._stop_event.is_set());
  EXPECT_EQ(app._status.get(), "STOPPING");

  // An attached loop that nobody runs is not running either.
  app._stop_event.clear();
  boost::asio::io_context idle;
  app._loop.attach(&idle);
  EXPECT_EQ(post(port, "/stop").status, 200);
  EXPECT_TRUE(app._stop_event.is_set());
  EXPECT_EQ(idle.poll(), 0u);  // nothing was handed to it
  EXPECT_EQ(app.stops(), 0);
}

// The strategy's loop on its own thread, kept busy by a gate the test opens.
class RunningLoop {
 public:
  explicit RunningLoop(TestApp& app) : app_(app) {
    app_._loop.attach(&context_);
    thread_ = std::thread([this] {
      id_.set_value(std::this_thread::get_id());
      app_._loop.run();
    });
    loop_id = id_.get_future().get();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!app_._loop.is_running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
  }
  ~RunningLoop() {
    open_gate();
    work_.reset();
    thread_.join();
    app_._loop.attach(nullptr);
  }
  void block() {
    boost::asio::post(context_, [this] { gate_.wait_for(5s); });
  }
  void open_gate() { gate_.set(); }
  boost::asio::io_context& context() { return context_; }
  std::thread::id loop_id;

 private:
  TestApp& app_;
  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ =
      boost::asio::make_work_guard(context_);
  tolbu_sdk::Application::StopEvent gate_;
  std::promise<std::thread::id> id_;
  std::thread thread_;
};

TEST_F(Routes, StopIsAnsweredAtOnceAndRunsOnTheLoopThread) {
  RunningLoop loop(app);
  loop.block();
  const auto reply = post(port, "/stop");
  EXPECT_EQ(reply.body, R"({"message": "Stop signal sent"})");
  EXPECT_EQ(app.stops(), 0);  // the loop is still blocked: the answer came first
  loop.open_gate();
  ASSERT_TRUE(app.stopped.wait_for(5s));
  std::lock_guard lock(app.mutex);
  EXPECT_EQ(app.stop_thread, loop.loop_id);
  EXPECT_FALSE(app._stop_event.is_set());
}

TEST_F(Routes, FailingStopIsLoggedAndTheLoopGoesOn) {
  app.update([&] { app.stop_throws = true; });
  RunningLoop loop(app);
  EXPECT_EQ(post(port, "/stop").status, 200);
  ASSERT_TRUE(app.stopped.wait_for(5s));
  std::promise<void> alive;
  boost::asio::post(loop.context(), [&] { alive.set_value(); });
  EXPECT_EQ(alive.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(log.wait_for("ERROR|Strategy stop failed"));
}

TEST_F(Routes, OpenApiDocumentInItsOrder) {
  const auto reply = get(port, "/openapi.json");
  EXPECT_EQ(reply.headers.at("content-type"), "application/json");
  const std::string expected =
      R"({"openapi": "3.0.0", "info": {"title": "Tolbu Algo SDK Control API", "version": "1.0.0", )"
      R"("description": "Control and monitor your running trading strategy."}, "servers": [{"url": "/"}], )"
      R"("paths": {)"
      R"("/status": {"get": {"summary": "Get Strategy Status", "responses": {"200": {"description": "Current status", )"
      R"("content": {"application/json": {"example": {"status": "RUNNING"}}}}}}}, )"
      R"("/progress": {"get": {"summary": "Get Backtest Progress", "responses": {"200": {"description": "Current progress percentage", )"
      R"("content": {"application/json": {"example": {"progress": 45.5}}}}}}}, )"
      R"("/report": {"get": {"summary": "Get Performance Report", "responses": {"200": {"description": "Full backtest result", )"
      R"("content": {"application/json": {"example": {"metrics": {}, "equity_curve": []}}}}}}}, )"
      R"("/stop": {"post": {"summary": "Stop Strategy", "responses": {"200": {"description": "Stop signal sent", )"
      R"("content": {"application/json": {"example": {"message": "Stop signal sent"}}}}}}}, )"
      R"("/logs": {"get": {"summary": "Get Strategy Logs", "parameters": [{"name": "limit", "in": "query", )"
      R"("schema": {"type": "integer", "default": 100}}], "responses": {"200": {"description": "Recent log entries", )"
      R"("content": {"application/json": {"example": {"logs": ["..."], "total": 100}}}}}}}, )"
      R"("/orders": {"get": {"summary": "Get Orders", "parameters": [{"name": "account_id", "in": "query", )"
      R"("schema": {"type": "string"}}, {"name": "symbol", "in": "query", "schema": {"type": "string"}}], )"
      R"("responses": {"200": {"description": "Orders list", )"
      R"("content": {"application/json": {"example": {"orders": [], "count": 0}}}}}}}, )"
      R"("/trades": {"get": {"summary": "Get Trades", "parameters": [{"name": "account_id", "in": "query", )"
      R"("schema": {"type": "string"}}], "responses": {"200": {"description": "Trades list", )"
      R"("content": {"application/json": {"example": {"trades": [], "count": 0}}}}}}}}})";
  EXPECT_EQ(reply.body, expected);
}

TEST_F(Routes, DocsPageRendersTheDocument) {
  const auto reply = get(port, "/docs");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.headers.at("content-type"), "text/html");
  for (const char* part :
       {"<!DOCTYPE html>", "<html lang=\"en\">", "<meta charset=\"utf-8\"",
        "<title>Tolbu Control API - Swagger UI</title>", "swagger-ui-dist@4.15.5/swagger-ui.css",
        "<div id=\"swagger-ui\"></div>",
        "swagger-ui-dist@4.15.5/swagger-ui-bundle.js\" crossorigin", "url: '/openapi.json'",
        "dom_id: '#swagger-ui'", "window.ui = SwaggerUIBundle", "window.onload"})
    EXPECT_NE(reply.body.find(part), std::string::npos) << part;
}

}  // namespace
