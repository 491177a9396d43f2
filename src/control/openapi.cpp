// The self-description of the control API: its OpenAPI document and the page rendering it.

#include <boost/json.hpp>

#include "tolbu_sdk/control.hpp"

namespace tolbu_sdk {

namespace json = boost::json;

namespace {

json::object example_response(std::string_view description, json::object example) {
  json::object media;
  media.emplace("example", std::move(example));
  json::object content;
  content.emplace("application/json", std::move(media));
  json::object ok;
  ok.emplace("description", description);
  ok.emplace("content", std::move(content));
  json::object responses;
  responses.emplace("200", std::move(ok));
  return responses;
}

json::object query_parameter(std::string_view name, json::object schema) {
  json::object parameter;
  parameter.emplace("name", name);
  parameter.emplace("in", "query");
  parameter.emplace("schema", std::move(schema));
  return parameter;
}

json::object string_schema() {
  json::object schema;
  schema.emplace("type", "string");
  return schema;
}

json::object operation(std::string_view method, std::string_view summary,
                       std::optional<json::array> parameters, std::string_view description,
                       json::object example) {
  json::object op;
  op.emplace("summary", summary);
  if (parameters) op.emplace("parameters", std::move(*parameters));
  op.emplace("responses", example_response(description, std::move(example)));
  json::object entry;
  entry.emplace(method, std::move(op));
  return entry;
}

json::object members(std::initializer_list<std::pair<std::string_view, json::value>> items) {
  json::object object;
  for (const auto& [key, value] : items) object.emplace(key, value);
  return object;
}

}  // namespace

json::object APIHandler::_get_openapi_schema() {
  json::object limit_schema;
  limit_schema.emplace("type", "integer");
  limit_schema.emplace("default", 100);

  json::object paths;
  paths.emplace("/status", operation("get", "Get Strategy Status", std::nullopt, "Current status",
                                     members({{"status", "RUNNING"}})));
  paths.emplace("/progress",
                operation("get", "Get Backtest Progress", std::nullopt,
                          "Current progress percentage", members({{"progress", 45.5}})));
  paths.emplace("/report",
                operation("get", "Get Performance Report", std::nullopt, "Full backtest result",
                          members({{"metrics", json::object{}}, {"equity_curve", json::array{}}})));
  paths.emplace("/stop", operation("post", "Stop Strategy", std::nullopt, "Stop signal sent",
                                   members({{"message", "Stop signal sent"}})));
  paths.emplace("/logs", operation("get", "Get Strategy Logs",
                                   json::array{query_parameter("limit", std::move(limit_schema))},
                                   "Recent log entries",
                                   members({{"logs", json::array{"..."}}, {"total", 100}})));
  paths.emplace("/orders",
                operation("get", "Get Orders",
                          json::array{query_parameter("account_id", string_schema()),
                                      query_parameter("symbol", string_schema())},
                          "Orders list", members({{"orders", json::array{}}, {"count", 0}})));
  paths.emplace(
      "/trades",
      operation("get", "Get Trades", json::array{query_parameter("account_id", string_schema())},
                "Trades list", members({{"trades", json::array{}}, {"count", 0}})));

  json::object info;
  info.emplace("title", "Tolbu Algo SDK Control API");
  info.emplace("version", "1.0.0");
  info.emplace("description", "Control and monitor your running trading strategy.");

  json::object schema;
  schema.emplace("openapi", "3.0.0");
  schema.emplace("info", std::move(info));
  schema.emplace("servers", json::array{members({{"url", "/"}})});
  schema.emplace("paths", std::move(paths));
  return schema;
}

const std::string& APIHandler::docs_page() {
  static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
  <meta charset="utf-8" />
  <title>Tolbu Control API - Swagger UI</title>
  <link rel="stylesheet" href="https://unpkg.com/swagger-ui-dist@4.15.5/swagger-ui.css" />
</head>
<body>
  <div id="swagger-ui"></div>
  <script src="https://unpkg.com/swagger-ui-dist@4.15.5/swagger-ui-bundle.js" crossorigin></script>
  <script>
    window.onload = () => {
      window.ui = SwaggerUIBundle({
        url: '/openapi.json',
        dom_id: '#swagger-ui',
      });
    };
  </script>
</body>
</html>
)html";
  return page;
}

}  // namespace tolbu_sdk
