// Requests to a back end linked into the program ("inproc://NAME/..."): the request as it
// would go on the wire, handed to the endpoint's handler on its loop; its answer read as one
// from a socket would be.

#include "connection.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tolbu_sdk::platform::http::detail {

namespace {

// The header lines the client built ("Name: value\r\n" each) as name and value pairs.
void add_header_lines(std::string_view lines, inproc::HeaderList& out) {
  while (!lines.empty()) {
    const auto end = lines.find("\r\n");
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 2);
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    out.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
}

}  // namespace

asio::awaitable<Response> inproc_exchange(const WireRequest& request) {
  const std::string name(*inproc::endpoint_name(request.url));
  auto where = [&] { return " (" + request.method + " " + request.url + ")"; };
  auto endpoint = inproc::find_endpoint(name);
  if (!endpoint) throw TransportError("No in-process back end named '" + name + "'" + where());
  inproc::HttpRequest req;
  req.method = request.method;
  req.target = inproc::endpoint_target(request.url);
  req.headers.emplace_back("Host", name);
  add_header_lines(request.head_fields, req.headers);
  req.body = request.body;

  // On the endpoint's loop: from there when that is where we are (a blocking call made on
  // the loop's own thread included), else there and back.
  auto executor = co_await asio::this_coro::executor;
  const auto* context = &asio::query(executor, asio::execution::context);
  inproc::HttpAnswer answer;
  if (context == endpoint->loop || endpoint->loop->get_executor().running_in_this_thread()) {
    // Never answered before the caller yields: a request spawned from a strategy's hook is
    // handled after the hook returns, as it would be over a socket.
    co_await asio::post(executor, asio::use_awaitable);
    auto operation = endpoint->http(std::move(req));
    answer = co_await std::move(operation);
  } else {
    auto operation = asio::co_spawn(endpoint->loop->get_executor(), endpoint->http(std::move(req)),
                                    asio::use_awaitable);
    answer = co_await std::move(operation);
  }
  if (answer.dropped)
    throw TransportError("The server closed the connection without answering" + where() +
                         "; the request may have reached the server");
  if (answer.status < 100) throw TransportError("Malformed answer: no valid status code" + where());
  Response response;
  response.status_code = answer.status;
  response.reason = std::move(answer.reason);
  response.headers = std::move(answer.headers);
  response.text = request.method == "HEAD" ? std::string() : std::move(answer.body);
  response.url = request.url;
  co_return response;
}

}  // namespace tolbu_sdk::platform::http::detail
