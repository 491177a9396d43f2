#include "server/server.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <iostream>

#if TOLBU_SIM_STREAMING
#include "streaming/extension.hpp"
#endif

namespace tolbu_sim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kBodyLimit = 64 * 1024 * 1024;
constexpr auto kIdleTimeout = std::chrono::seconds(300);

SimRequest to_sim_request(const http::request<http::string_body>& req) {
  SimRequest out;
  out.method = std::string(req.method_string());
  out.target = std::string(req.target());
  for (const auto& field : req) {
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  out.body = req.body();
  return out;
}

http::response<http::string_body> to_beast_response(const SimResponse& answer, unsigned version,
                                                    bool keep_alive) {
  http::response<http::string_body> res{static_cast<http::status>(answer.status), version};
  // Beast knows the standard phrases; a scripted status it does not know gets a plain one
  // rather than "<unknown-status>".
  if (http::int_to_status(static_cast<unsigned>(answer.status)) == http::status::unknown)
    res.reason(answer.status < 400 ? "OK" : answer.status < 500 ? "Client Error" : "Server Error");
  res.set(http::field::server, "tolbu-sim");
  if (!answer.content_type.empty()) res.set(http::field::content_type, answer.content_type);
  for (const auto& [name, value] : answer.headers) res.set(name, value);
  res.body() = answer.body;
  res.keep_alive(keep_alive);
  res.prepare_payload();
  return res;
}

// Answers the request from the route table (no journal, no faults).
SimResponse dispatch(SimRequest& request, SimContext& ctx) {
  if (request.path.empty()) return SimResponse::error(400, "Malformed request target");
  bool method_mismatch = false;
  const Route* route = ctx.routes.match(request, method_mismatch);
  if (!route) {
    if (method_mismatch) return SimResponse::error(405, "Method not allowed: " + request.method);
    return SimResponse::error(404, "Not found: " + request.path);
  }
  if (route->authenticated && !ctx.authorized(request)) {
    auto answer = SimResponse::error(401, "Invalid or missing bearer token");
    answer.headers.emplace_back("WWW-Authenticate", "Bearer");
    return answer;
  }
  try {
    return route->handler(request, ctx);
  } catch (const std::exception& e) {
    return SimResponse::error(500, std::string("Internal error: ") + e.what());
  }
}

bool is_test_path(std::string_view target) { return target.starts_with("/_sim/"); }

void log_line(const SimContext& ctx, const SimRequest& request, int status) {
  if (ctx.options.quiet) return;
  std::cerr << "tolbu-sim: " << request.method << ' ' << request.target << " -> " << status << '\n';
}

// What the sim answers a request, after the journal and the scripted faults; none when a fault
// drops the connection instead.
asio::awaitable<std::optional<SimResponse>> answer_request(SimRequest& request, SimContext& ctx) {
  split_target(request);  // a malformed target keeps an empty path and answers 400 below
  std::optional<Fault> fault;
  if (!is_test_path(request.target)) {
    ctx.journal.record(request);
    fault = ctx.faults.take(request.method, request.path);
  }
  if (fault && fault->delay.count() > 0) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(fault->delay);
    beast::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  if (fault && fault->drop) {
    // Acting first is the hard case for a client: the work is done, the answer is lost.
    if (fault->act) dispatch(request, ctx);
    log_line(ctx, request, 0);
    co_return std::nullopt;
  }
  // With "act", a replaced answer comes after the work is done, as a failing gateway's.
  if (fault && fault->replaces_answer() && fault->act) dispatch(request, ctx);
  SimResponse answer =
      fault && fault->replaces_answer() ? fault->response() : dispatch(request, ctx);
  log_line(ctx, request, answer.status);
  co_return answer;
}

asio::awaitable<void> run_session(beast::tcp_stream stream, SimContext& ctx) {
  beast::flat_buffer buffer;
  beast::error_code ec;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    stream.expires_after(kIdleTimeout);
    co_await http::async_read(stream, buffer, parser,
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;  // closed by the peer, idle timeout, or a malformed request
    auto req = parser.release();

    if (beast::websocket::is_upgrade(req)) {
      if (req.target() == "/connection/websocket" ||
          req.target().starts_with("/connection/websocket?")) {
        stream.expires_never();
#if TOLBU_SIM_STREAMING
        accept_websocket(std::move(stream), std::move(req), ctx);
        co_return;
#else
        SimResponse answer = SimResponse::error(501, "Streaming is not built into this tolbu-sim");
        auto res = to_beast_response(answer, req.version(), false);
        co_await http::async_write(stream, res, asio::redirect_error(asio::use_awaitable, ec));
        break;
#endif
      }
    }

    SimRequest request = to_sim_request(req);
    auto answered = co_await answer_request(request, ctx);
    if (!answered) {
      stream.socket().shutdown(tcp::socket::shutdown_both, ec);
      break;
    }
    const SimResponse& answer = *answered;

    bool keep_alive = req.keep_alive();
    auto res = to_beast_response(answer, req.version(), keep_alive);
    stream.expires_after(kIdleTimeout);
    co_await http::async_write(stream, res, asio::redirect_error(asio::use_awaitable, ec));
    if (ec || !keep_alive) break;
  }
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
}

}  // namespace

asio::awaitable<inproc::HttpAnswer> answer_inproc(inproc::HttpRequest in, SimContext& ctx) {
  SimRequest request;
  request.method = std::move(in.method);
  request.target = std::move(in.target);
  request.headers = std::move(in.headers);
  request.body = std::move(in.body);
  auto answered = co_await answer_request(request, ctx);
  inproc::HttpAnswer out;
  if (!answered) {
    out.dropped = true;
    co_return out;
  }
  // The answer the socket would carry, field for field.
  auto res = to_beast_response(*answered, 11, true);
  out.status = static_cast<int>(res.result_int());
  out.reason = std::string(res.reason());
  for (const auto& field : res)
    out.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  out.body = std::move(res.body());
  co_return out;
}

struct Server::Impl {
  SimContext& ctx;
  tcp::acceptor acceptor;
  bool stopped = false;

  explicit Impl(SimContext& context) : ctx(context), acceptor(context.io) {
    tcp::endpoint endpoint(asio::ip::make_address(ctx.options.host), ctx.options.port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
  }

  asio::awaitable<void> accept_loop() {
    for (;;) {
      beast::error_code ec;
      tcp::socket socket =
          co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        if (stopped || ec == asio::error::operation_aborted) co_return;
        continue;  // e.g. too many open files: keep serving the others
      }
      socket.set_option(tcp::no_delay(true), ec);
      asio::co_spawn(ctx.io, run_session(beast::tcp_stream(std::move(socket)), ctx),
                     asio::detached);
    }
  }
};

Server::Server(SimContext& context) : impl_(std::make_unique<Impl>(context)) {
  context.port = port();
}

Server::~Server() = default;

std::uint16_t Server::port() const { return impl_->acceptor.local_endpoint().port(); }

void Server::start() { asio::co_spawn(impl_->ctx.io, impl_->accept_loop(), asio::detached); }

void Server::stop() {
  impl_->stopped = true;
  beast::error_code ec;
  impl_->acceptor.close(ec);
}

}  // namespace tolbu_sim
