// Routing of control requests to the application object.

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <exception>
#include <stdexcept>

#include "../platform/common/json_fields.hpp"
#include "dashboard_page.hpp"
#include "logger.hpp"
#include "query.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace tolbu_sdk {

namespace json = boost::json;
using control_server::control_log;
using control_server::first_value;
using control_server::IntegerError;
using control_server::parse_integer;
using control_server::parse_query;
using control_server::query_of;
using platform::kind_name;

namespace {

// A query value the client got wrong: answered 400, not a failure of the application.
class BadQuery : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

control_server::QueryFields query_fields(std::string_view path) {
  const auto query = query_of(path);
  return query ? parse_query(*query) : control_server::QueryFields{};
}

std::int64_t limit_of(std::string_view path) {
  const auto value = first_value(query_fields(path), "limit");
  if (!value) return 100;
  const auto parsed = parse_integer(*value);
  switch (parsed.error) {
    case IntegerError::none:
      return parsed.value;
    case IntegerError::not_integer:
      throw BadQuery(fmt::format("Query parameter 'limit' must be an integer, got '{}'", *value));
    case IntegerError::out_of_range:
      throw BadQuery(fmt::format("Query parameter 'limit' is out of range: '{}'", *value));
  }
  return 100;
}

// How long "/stop" waits for a loop run with a plain io_context::run() to take the stop.
constexpr std::chrono::milliseconds kLoopPatience{1000};

// Runs on the loop's thread: stop() is called there and its task belongs to that loop. A
// failing stop must not escape into the strategy's run(), so it is logged instead.
void start_stop_task(Application& app, boost::asio::io_context& loop) {
  try {
    boost::asio::co_spawn(loop, app.stop(), [](std::exception_ptr error) {
      if (error) control_log().exception(error, "Strategy stop failed");
    });
  } catch (...) {
    control_log().exception(std::current_exception(), "Strategy stop failed");
  }
}

const std::string& openapi_text() {
  static const std::string text = platform::to_json_text(APIHandler::_get_openapi_schema());
  return text;
}

}  // namespace

APIHandler::APIHandler(Application& app_instance, std::string path)
    : app_(app_instance), path_(std::move(path)) {}

APIResponse APIHandler::handle(std::string_view method) {
  try {
    if (method == "GET")
      do_GET();
    else if (method == "POST")
      do_POST();
    else
      _send_error(fmt::format("Unsupported method ('{}')", method), 501);
  } catch (const BadQuery& error) {
    _send_error(error.what(), 400);
  } catch (const std::exception& error) {
    control_log().exception(std::current_exception(), "Control request {} {} failed", method,
                            path_);
    _send_error(error.what(), 500);
  } catch (...) {
    control_log().exception(std::current_exception(), "Control request {} {} failed", method,
                            path_);
    _send_error("Unknown error", 500);
  }
  return std::move(response_);
}

void APIHandler::do_GET() {
  const std::string_view path = path_;
  if (path == "/status") {
    json::object data;
    data.emplace("status", app_.get_status());
    _send_json(data);
  } else if (path == "/progress") {
    json::object data;
    data.emplace("progress", app_.get_progress());
    _send_json(data);
  } else if (path == "/report") {
    const json::value report = app_.get_algo_stat_report();
    if (platform::is_empty(report))
      _send_json(json::object{});
    else if (report.is_object())
      _send_json(report.get_object());
    else
      throw std::runtime_error(
          fmt::format("Report must be an object, got {}", kind_name(report.kind())));
  } else if (path == "/openapi.json") {
    response_ = {200, "application/json", openapi_text()};
  } else if (path == "/docs") {
    _send_html(docs_page());
  } else if (path == "/dashboard") {
    _send_html(control_server::dashboard_page());
  } else if (path.starts_with("/logs")) {
    json::array logs = app_.get_logs(limit_of(path));
    json::object data;
    const auto total = logs.size();
    data.emplace("logs", std::move(logs));
    data.emplace("total", total);
    _send_json(data);
  } else if (path.starts_with("/orders")) {
    const auto fields = query_fields(path);
    json::array orders =
        app_.get_orders(first_value(fields, "account_id"), first_value(fields, "symbol"));
    json::object data;
    const auto count = orders.size();
    data.emplace("orders", std::move(orders));
    data.emplace("count", count);
    _send_json(data);
  } else if (path.starts_with("/trades")) {
    json::array trades = app_.get_trades(first_value(query_fields(path), "account_id"));
    json::object data;
    const auto count = trades.size();
    data.emplace("trades", std::move(trades));
    data.emplace("count", count);
    _send_json(data);
  } else {
    _send_error("Endpoint not found", 404);
  }
}

void APIHandler::do_POST() {
  if (path_ != "/stop") {
    _send_error("Endpoint not found", 404);
    return;
  }
  Application& app = app_;
  boost::asio::io_context* loop = app._loop.get();
  const bool on_loop =
      loop != nullptr &&
      app._loop.call_if_running([&app, loop] { start_stop_task(app, *loop); }, kLoopPatience);
  if (!on_loop) {
    if (loop != nullptr && !loop->stopped())
      control_log().warning(
          "Event loop attached but not running (or busy for {} ms); signalling the stop event",
          kLoopPatience.count());
    app._stop_event.set();
    app._status = "STOPPING";
  }
  json::object data;
  data.emplace("message", "Stop signal sent");
  _send_json(data);
}

void APIHandler::_send_json(const json::object& data, int status) {
  response_ = {status, "application/json", platform::to_json_text(data)};
}

void APIHandler::_send_error(std::string_view message, int status) {
  json::object data;
  data.emplace("error", message);
  _send_json(data, status);
}

void APIHandler::_send_html(std::string_view content, int status) {
  response_ = {status, "text/html", std::string(content)};
}

}  // namespace tolbu_sdk
