// Requests to a back end linked into the program ("inproc://NAME/..."): the request as it
// would go on the wire, handed to the endpoint's handler on its loop; its answer read as one
// from a socket would be.

#include "connection.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <optional>
#include <tuple>

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

asio::awaitable<Response> inproc_exchange(const WireRequest& request, const Options& options) {
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

  // The handler runs on the endpoint's loop, never before the caller yields (a request
  // spawned from a strategy's hook is handled after the hook returns, as over a socket);
  // the caller waits for its answer within the total timeout, as for one from a socket.
  struct Exchange {
    explicit Exchange(const asio::any_io_executor& ex) : wake(ex) {}
    asio::steady_timer wake;
    std::optional<inproc::HttpAnswer> answer;
    std::exception_ptr failure;
    bool done = false;
  };
  auto executor = co_await asio::this_coro::executor;
  auto exchange = std::make_shared<Exchange>(executor);
  auto on_done = [exchange](std::exception_ptr e, inproc::HttpAnswer a) {
    exchange->done = true;
    exchange->failure = e;
    if (!e) exchange->answer = std::move(a);
    exchange->wake.cancel();
  };
  // A blocking call made on the loop's own thread runs its private loop there: the handler
  // goes with it, else the endpoint's loop would wait for itself.
  const bool here = &asio::query(executor, asio::execution::context) == endpoint->loop ||
                    endpoint->loop->get_executor().running_in_this_thread();
  const asio::any_io_executor runs_on =
      here ? executor : asio::any_io_executor(endpoint->loop->get_executor());
  asio::co_spawn(runs_on,
                 [handler = endpoint->http, req = std::move(req)]() mutable
                 -> asio::awaitable<inproc::HttpAnswer> {
                   co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
                   auto operation = handler(std::move(req));
                   co_return co_await std::move(operation);
                 },
                 asio::bind_executor(executor, std::move(on_done)));
  boost::system::error_code ec;
  if (!exchange->done) {
    exchange->wake.expires_after(options.total_timeout);
    std::tie(ec) = co_await exchange->wake.async_wait(asio::as_tuple(asio::use_awaitable));
  }
  if (!exchange->done) {
    if (ec == asio::error::operation_aborted)
      throw TransportError("Cancelled" + where() + "; the request may have reached the server");
    throw TransportError("Operation timed out: the answer was not complete within " +
                         std::to_string(options.total_timeout.count()) + " ms" + where() +
                         "; the request may have reached the server");
  }
  if (exchange->failure) {
    std::string why = "unknown error";
    try {
      std::rethrow_exception(exchange->failure);
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
    }
    throw TransportError("The in-process back end failed: " + why + where() +
                         "; the request may have reached the server");
  }
  inproc::HttpAnswer answer = std::move(*exchange->answer);
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
