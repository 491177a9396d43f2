// The control server: one listening socket on a thread of its own, one request per
// connection. Connections are read side by side, each within its own deadline, so an idle or
// slow client never holds up another; the application is still called for one request at a
// time, since every handler runs on the server's single thread.

#include <fmt/format.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <list>
#include <memory>

#include "logger.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace tolbu_sdk {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using control_server::control_log;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view kServerName = "TolbuControl/1.0";
// After an error answer the client may still be sending; reading its rest before closing keeps
// the kernel from resetting the connection under the answer.
constexpr std::size_t kDrainLimit = 1 << 20;
constexpr std::chrono::milliseconds kDrainTimeout{1000};
constexpr std::size_t kReadSize = 4096;

std::string http_date(std::time_t now) {
  static constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                            "Thu", "Fri", "Sat"};
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&now, &tm);
  return fmt::format("{}, {:02} {} {} {:02}:{:02}:{:02} GMT", kDays[tm.tm_wday], tm.tm_mday,
                     kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

APIResponse error_response(int status, std::string_view message) {
  boost::json::object data;
  data.emplace("error", message);
  return {status, "application/json", platform::to_json_text(data)};
}

}  // namespace

namespace control_server {
class Session;
}
using control_server::Session;

struct APIServer::State {
  State(Application& app, int port, Options options)
      : app(app), requested_port(port), options(std::move(options)) {}

  Application& app;
  const int requested_port;
  const Options options;
  asio::io_context io{1};

  // Shared between the caller's threads and the server thread.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool started = false;
  bool ran = false;
  bool finished = false;
  bool has_server = false;
  bool listening = false;
  bool shutdown_requested = false;
  bool gave_up = false;  // shutdown() stopped waiting for a request stuck in the application
  bool stop_logged = false;
  int bound_port = 0;
  std::thread::id server_thread;

  // Touched only on the server thread.
  tcp::acceptor* acceptor = nullptr;
  std::list<std::shared_ptr<Session>> sessions;  // in the order they were accepted
  bool stopping = false;

  void run(const std::shared_ptr<State>& self);
  void stop_serving();
  void make_room();
  asio::awaitable<void> serve();
  asio::awaitable<void> serve_connection(std::list<std::shared_ptr<Session>>::iterator at);
};

namespace control_server {

// One connection's life: read the request (bounded in time and size), answer it, close.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Application& app, const APIServer::Options& options, tcp::socket socket)
      : app_(app), options_(options), socket_(std::move(socket)), timer_(socket_.get_executor()) {}

  asio::awaitable<void> run() {
    auto self = shared_from_this();
    std::optional<APIResponse> response = co_await read_request();
    if (response && !abandoned_) co_await write_response(std::move(*response));
    if (linger_ && !abandoned_) co_await drain();
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  // The server is shutting down, or needs the room: a request still being read is given up.
  void abandon() {
    abandoned_ = true;
    boost::system::error_code ignored;
    if (reading_) socket_.cancel(ignored);
  }
  // Not yet sent its whole request, or draining after an error answer: nothing of the
  // application's is at stake in closing it.
  bool idle() const { return idle_ && !abandoned_; }

 private:
  asio::awaitable<std::optional<APIResponse>> read_request() {
    http::request_parser<http::string_body> parser;
    parser.header_limit(options_.header_limit);
    parser.body_limit(options_.body_limit);
    parser.eager(true);
    arm(options_.read_timeout);
    reading_ = true;
    const auto ec = co_await read_into(parser);
    reading_ = false;
    const bool timed_out = disarm();
    if (!ec) {
      idle_ = false;
      const auto& request = parser.get();
      if (!options_.bearer_token.empty() && !authorized(request)) {
        co_return error_response(401, "Unauthorized");
      }
      APIHandler handler(app_, std::string(request.target()));
      co_return handler.handle(request.method_string());
    }
    if (abandoned_) co_return std::nullopt;
    if (timed_out) {
      linger_ = true;
      co_return error_response(408, "Request timeout");
    }
    if (ec == http::error::end_of_stream || ec == http::error::partial_message)
      co_return std::nullopt;  // the client went away
    if (ec.category() != http::make_error_code(http::error::bad_target).category())
      co_return std::nullopt;  // reset or another socket failure: nobody to answer
    linger_ = true;
    if (ec == http::error::header_limit) co_return error_response(431, "Request head too large");
    if (ec == http::error::body_limit) co_return error_response(413, "Request body too large");
    co_return error_response(400, fmt::format("Bad request: {}", ec.message()));
  }

  // The token compared in constant time, so that its length and prefix do not leak.
  bool authorized(const http::request<http::string_body>& request) const {
    const auto header = request[http::field::authorization];
    const std::string expected = "Bearer " + options_.bearer_token;
    if (header.size() != expected.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
      diff |= static_cast<unsigned char>(header[i] ^ expected[i]);
    return diff == 0;
  }

  // Every socket read is ours, so that a deadline or a shutdown landing while a piece is
  // already on its way is seen before the next read is started.
  asio::awaitable<boost::system::error_code> read_into(
      http::request_parser<http::string_body>& parser) {
    boost::system::error_code ec;
    for (;;) {
      while (buffer_.size() > 0 && !parser.is_done()) {
        const auto used = parser.put(buffer_.data(), ec);
        buffer_.consume(used);
        // The parser said what it has is not enough: it is fed again only with more bytes (fed
        // the same rest again, its chunk parser trips over its own bookkeeping).
        if (ec == http::error::need_more) {
          ec = {};
          break;
        }
        if (ec) co_return ec;
        if (used == 0) break;  // an incomplete line: more bytes needed
      }
      if (parser.is_done()) co_return ec;
      if (timed_out_ || abandoned_) co_return asio::error::operation_aborted;
      auto [read_ec, n] = co_await socket_.async_read_some(buffer_.prepare(kReadSize), kAwait);
      buffer_.commit(n);
      if (read_ec == asio::error::eof) {
        if (!parser.got_some()) co_return http::error::end_of_stream;
        parser.put_eof(ec);
        co_return ec ? ec : http::make_error_code(http::error::partial_message);
      }
      if (read_ec) co_return read_ec;
    }
  }

  asio::awaitable<void> write_response(APIResponse answer) {
    // HTTP/1.0 without Content-Length: the body ends where the connection closes.
    http::response<http::string_body> response{static_cast<http::status>(answer.status), 10};
    response.set(http::field::server, kServerName);
    response.set(http::field::date, http_date(std::time(nullptr)));
    response.set(http::field::content_type, answer.content_type);
    response.body() = std::move(answer.body);
    arm(options_.write_timeout, true);
    auto [ec, bytes] = co_await http::async_write(socket_, response, kAwait);
    disarm();
    if (ec) linger_ = false;  // the client is gone or stalled: nothing more to read
  }

  asio::awaitable<void> drain() {
    idle_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    arm(std::min(kDrainTimeout, options_.read_timeout));
    reading_ = true;
    std::array<char, 4096> scratch;
    for (std::size_t total = 0; total < kDrainLimit && !abandoned_ && !timed_out_;) {
      auto [ec, n] = co_await socket_.async_read_some(asio::buffer(scratch), kAwait);
      if (ec) break;
      total += n;
    }
    reading_ = false;
    disarm();
  }

  // One deadline per phase; a late expiry of an earlier phase is recognised by its number. On
  // expiry the pending operation is cancelled. Reads check the flag before every piece; a write
  // (several pieces inside Beast) also has its direction shut, so that a piece started after
  // the cancel fails at once instead of waiting without a deadline.
  void arm(std::chrono::milliseconds timeout, bool writing = false) {
    const auto phase = ++phase_;
    timed_out_ = false;
    timer_.expires_after(timeout);
    timer_.async_wait([weak = weak_from_this(), phase, writing](boost::system::error_code ec) {
      auto self = weak.lock();
      if (ec || !self || self->phase_ != phase) return;
      self->timed_out_ = true;
      boost::system::error_code ignored;
      self->socket_.cancel(ignored);
      if (writing) self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
    });
  }

  // Ends the current phase; true when its deadline had passed.
  bool disarm() {
    ++phase_;
    timer_.cancel();
    return timed_out_;
  }

  Application& app_;
  const APIServer::Options& options_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  boost::beast::flat_buffer buffer_;
  unsigned phase_ = 0;
  bool timed_out_ = false;
  bool reading_ = false;
  bool linger_ = false;
  bool abandoned_ = false;
  bool idle_ = true;
};

}  // namespace control_server

void APIServer::State::stop_serving() {
  stopping = true;
  boost::system::error_code ignored;
  if (acceptor != nullptr) acceptor->close(ignored);
  for (const auto& session : sessions) session->abandon();
}

// At the connection limit the client that has waited longest without sending its request
// gives way, so that idle connections can never lock others out.
void APIServer::State::make_room() {
  if (sessions.size() < std::max<std::size_t>(options.max_connections, 1)) return;
  for (const auto& session : sessions) {
    if (session->idle()) {
      session->abandon();
      return;
    }
  }
}

asio::awaitable<void> APIServer::State::serve_connection(
    std::list<std::shared_ptr<Session>>::iterator at) {
  try {
    co_await (*at)->run();
  } catch (...) {
    sessions.erase(at);
    throw;
  }
  sessions.erase(at);
}

asio::awaitable<void> APIServer::State::serve() {
  asio::steady_timer pause(io);
  while (!stopping) {
    auto [ec, socket] = co_await acceptor->async_accept(kAwait);
    if (stopping) break;
    if (ec) {
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) break;
      // Out of descriptors and the like: keep serving, without spinning.
      control_log().warning("Control API accept failed: {}", ec.message());
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(kAwait);
      continue;
    }
    make_room();
    sessions.push_back(std::make_shared<Session>(app, options, std::move(socket)));
    asio::co_spawn(io, serve_connection(std::prev(sessions.end())), [](std::exception_ptr error) {
      if (error) control_log().exception(error, "Control API connection failed");
    });
  }
}

APIServer::APIServer(Application& app_instance, int port) : APIServer(app_instance, port, {}) {}

APIServer::APIServer(Application& app_instance, int port, Options options) : app_(app_instance) {
  if (port < 0 || port > 65535) throw ValueError(fmt::format("port must be 0-65535, got {}", port));
  state_ = std::make_shared<State>(app_instance, port, std::move(options));
}

APIServer::~APIServer() {
  shutdown();
  if (!thread_.joinable()) return;
  bool finished;
  bool gave_up;
  {
    std::unique_lock lock(state_->mutex);
    finished = state_->finished || state_->server_thread == std::this_thread::get_id();
    gave_up = state_->gave_up;
  }
  if (finished && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  } else {
    // A request stuck in the application: the thread keeps the state alive on its own.
    // shutdown() has already said so when it gave up.
    if (!gave_up) control_log().error("Control API Server thread did not end; leaving it behind");
    thread_.detach();
  }
}

int APIServer::port() const {
  std::lock_guard lock(state_->mutex);
  return state_->has_server ? state_->bound_port : state_->requested_port;
}

bool APIServer::is_running() const {
  std::lock_guard lock(state_->mutex);
  return state_->listening;
}

bool APIServer::has_server() const {
  std::lock_guard lock(state_->mutex);
  return state_->has_server;
}

void APIServer::start() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started || thread_.joinable())
      throw RuntimeError("threads can only be started once");
    state_->started = true;
  }
  thread_ = std::thread([state = state_] { state->run(state); });
}

void APIServer::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool APIServer::wait_until_listening(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, timeout, [&] { return state_->listening || state_->finished; });
  return state_->listening;
}

void APIServer::run() { state_->run(state_); }

// The thread body holds the state itself, so an object left behind by a stuck request never
// points into a destroyed server.
void APIServer::State::run(const std::shared_ptr<State>& self) {
  const std::shared_ptr<State> state = self;
  {
    std::lock_guard lock(state->mutex);
    if (state->ran) return;  // a server is not restarted
    state->ran = true;
    state->started = true;
    state->server_thread = std::this_thread::get_id();
  }
  const auto finish = [&] {
    bool late_stop = false;
    {
      std::lock_guard lock(state->mutex);
      state->listening = false;
      state->finished = true;
      // shutdown() gave up on a stuck request and could not say the server stopped.
      late_stop = state->gave_up && state->has_server && !state->stop_logged;
      if (late_stop) state->stop_logged = true;
    }
    state->changed.notify_all();
    if (late_stop) control_log().info("Control API Server stopped");
  };
  int port = state->requested_port;
  try {
    tcp::acceptor acceptor(state->io);
    const tcp::endpoint endpoint(asio::ip::make_address(state->options.host),
                                 static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    port = acceptor.local_endpoint().port();
    {
      std::lock_guard lock(state->mutex);
      state->has_server = true;
      state->bound_port = port;
      state->acceptor = &acceptor;
    }
    // Logged before anyone waiting for the server is told it listens.
    control_log().info("Control API Server started on port {}", port);
    bool serve = false;
    {
      std::lock_guard lock(state->mutex);
      serve = !state->shutdown_requested;
      state->listening = serve;
    }
    state->changed.notify_all();
    if (serve) {
      asio::co_spawn(state->io, state->serve(), [](std::exception_ptr error) {
        if (error) std::rethrow_exception(error);
      });
      state->io.run();
    }
    state->acceptor = nullptr;
  } catch (const boost::system::system_error& error) {
    state->acceptor = nullptr;
    control_log().error("Failed to start API Server on port {}: {}", port, error.code().message());
  } catch (const std::exception& error) {
    state->acceptor = nullptr;
    control_log().error("API Server crashed: {}", error.what());
  } catch (...) {
    state->acceptor = nullptr;
    control_log().error("API Server crashed: unknown error");
  }
  finish();
}

void APIServer::shutdown() {
  const std::shared_ptr<State> state = state_;
  std::unique_lock lock(state->mutex);
  if (!state->started) return;
  state->shutdown_requested = true;
  if (state->has_server && !state->finished) {
    State* raw = state.get();  // the io_context lives in the state: no owning cycle
    asio::post(state->io, [raw] { raw->stop_serving(); });
  }
  if (state->server_thread == std::this_thread::get_id()) return;  // it would wait for itself
  if (state->gave_up) return;  // waited once already; the thread ends on its own
  if (!state->changed.wait_for(lock, state->options.shutdown_timeout,
                               [&] { return state->finished; })) {
    state->gave_up = true;
    lock.unlock();
    // The request is stuck inside the application, which cannot be interrupted: the loop is
    // stopped so that the thread ends as soon as the call returns.
    state->io.stop();
    control_log().error(
        "Control API Server did not stop within {} ms: a request is still inside the "
        "application; its thread is left to end on its own",
        state->options.shutdown_timeout.count());
    return;
  }
  if (!state->has_server || state->stop_logged) return;
  state->stop_logged = true;
  lock.unlock();
  control_log().info("Control API Server stopped");
}

}  // namespace tolbu_sdk
