#include "connection.hpp"
#include "pool.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/inproc.hpp"
#include "tolbu_sdk/platform/json.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace tolbu_sdk::platform::http {

namespace asio = boost::asio;
using detail::Connection;
using detail::Lane;
using detail::Target;
using detail::WireRequest;

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool token_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Control characters in a header (a token pasted with its newline, say) would smuggle further
// headers or a second request onto the wire, or be read differently by each proxy on the way;
// a framing header of the caller's would make the body disagree with its length, and a Host of
// the caller's would give the request two.
void check_headers(const Headers& headers) {
  for (const auto& [name, value] : headers) {
    bool valid_name = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return token_char(static_cast<unsigned char>(c));
    });
    bool valid_value = std::all_of(value.begin(), value.end(), [](char c) {
      auto u = static_cast<unsigned char>(c);
      return (u >= 0x20 && u != 0x7F) || u == '\t';
    });
    if (!valid_name || !valid_value)
      throw ValueError(
          "Invalid HTTP header '" + name +
          "': names must be non-empty tokens, and neither may hold a control character");
    if (iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding"))
      throw ValueError("Invalid HTTP header '" + name + "': the client frames the body itself");
    if (iequals(name, "Host"))
      throw ValueError("Invalid HTTP header 'Host': the client sends the URL's host itself");
  }
}

WireRequest prepare(std::string_view method, std::string_view url, const Headers& headers,
                    const boost::json::value* json_body, const Params* params) {
  if (method.empty() || !std::all_of(method.begin(), method.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
      }))
    throw ValueError("Invalid HTTP method '" + std::string(method) + "'");
  check_headers(headers);
  WireRequest out;
  out.method = std::string(method);
  out.url = std::string(url);
  if (params && !params->empty()) {
    out.url += out.url.find('?') == std::string::npos ? '?' : '&';
    out.url += encode_query(*params);
  }
  bool has_content_type = false;
  for (const auto& [name, value] : headers) {
    if (iequals(name, "Content-Type")) has_content_type = true;
    out.head_fields.append(name).append(value.empty() ? ":" : ": ").append(value).append("\r\n");
  }
  if (json_body) {
    out.has_body = true;
    out.body = to_json_text(*json_body);
    if (!has_content_type) out.head_fields.append("Content-Type: application/json\r\n");
  }
  // Every method but GET and HEAD states its body's length, an empty one included; a GET with
  // a body states it too, or the body would run into the next request.
  if (out.has_body || (method != "GET" && method != "HEAD"))
    out.head_fields.append("Content-Length: ")
        .append(std::to_string(out.body.size()))
        .append("\r\n");
  return out;
}

bool is_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

struct Client::Impl : std::enable_shared_from_this<Client::Impl> {
  Options options;
  std::atomic<std::size_t> connections{0};

  std::mutex mutex;
  std::unique_ptr<asio::ssl::context> tls;
  std::map<asio::execution_context*, std::shared_ptr<Lane>> lanes;
  // Declared after lanes: destroyed first, each loop empties its own lanes.
  std::map<std::thread::id, std::unique_ptr<asio::io_context>> thread_loops;

  ~Impl() {
    for (auto& [context, lane] : lanes) lane->clear(false);
  }

  std::shared_ptr<Lane> lane_for(asio::execution_context& context) {
    std::lock_guard lock(mutex);
    auto& lane = lanes[&context];
    // A lane of a loop that was destroyed (another may now live at its address) is replaced.
    if (!lane || lane->loop_gone()) {
      lane = std::make_shared<Lane>();
      asio::use_service<detail::LaneRegistry>(context).add(lane);
    }
    return lane;
  }

  asio::io_context& thread_loop();
  void release_thread_loop(std::thread::id thread);

  asio::ssl::context& tls_context(const WireRequest& request) {
    std::lock_guard lock(mutex);
    if (tls) return *tls;
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    boost::system::error_code ec;
    if (!options.verify_tls) {
      context->set_verify_mode(asio::ssl::verify_none);
    } else {
      context->set_verify_mode(asio::ssl::verify_peer);
      if (options.ca_file.empty())
        context->set_default_verify_paths(ec);
      else
        context->load_verify_file(options.ca_file, ec);
      if (ec)
        throw TransportError(
            "Could not load the trusted CA certificates" +
            (options.ca_file.empty() ? std::string() : " from " + options.ca_file) + ": " +
            ec.message() + " (" + request.method + " " + request.url + ")");
    }
    tls = std::move(context);
    return *tls;
  }

  asio::awaitable<Response> exchange(std::shared_ptr<Lane> lane, const WireRequest& request,
                                     const Target& target);

  static asio::awaitable<Response> request(std::shared_ptr<Impl> impl, std::string method,
                                           std::string url, Headers headers,
                                           std::optional<boost::json::value> json_body,
                                           std::optional<Params> params);
};

namespace {

// The clients that made a loop for this thread; each lets go of it when the thread ends, so
// that threads that come and go leave no loops or connections behind.
struct ThreadLoopOwners {
  std::vector<std::weak_ptr<Client::Impl>> clients;
  ~ThreadLoopOwners() {
    auto thread = std::this_thread::get_id();
    for (auto& weak : clients) {
      if (auto impl = weak.lock()) impl->release_thread_loop(thread);
    }
  }
};
thread_local ThreadLoopOwners thread_loop_owners;

// The clients whose run() is on this thread's stack, with the private loop each runs: a
// blocking call of one of them from inside would wait for its own loop forever.
struct Running {
  const Client::Impl* client;
  const asio::execution_context* loop;
};
thread_local std::vector<Running> running_clients;

// A private loop is run by its one thread only: its exchanges need no strand.
bool on_private_loop(const asio::any_io_executor& executor) {
  const asio::execution_context* context = &asio::query(executor, asio::execution::context);
  return std::any_of(running_clients.begin(), running_clients.end(),
                     [&](const Running& r) { return r.loop == context; });
}

}  // namespace

asio::io_context& Client::Impl::thread_loop() {
  std::lock_guard lock(mutex);
  auto& loop = thread_loops[std::this_thread::get_id()];
  if (!loop) {
    loop = std::make_unique<asio::io_context>(1);
    auto& owners = thread_loop_owners.clients;
    std::erase_if(owners, [](const std::weak_ptr<Impl>& w) { return w.expired(); });
    owners.push_back(weak_from_this());
  }
  return *loop;
}

void Client::Impl::release_thread_loop(std::thread::id thread) {
  std::unique_ptr<asio::io_context> loop;
  {
    std::lock_guard lock(mutex);
    auto it = thread_loops.find(thread);
    if (it == thread_loops.end()) return;
    loop = std::move(it->second);
    thread_loops.erase(it);
    lanes.erase(loop.get());
  }
  // Outside the lock: its lanes close their connections as the loop shuts down.
  loop.reset();
}

asio::awaitable<Response> Client::Impl::exchange(std::shared_ptr<Lane> lane,
                                                 const WireRequest& request, const Target& target) {
  auto executor = co_await asio::this_coro::executor;
  bool fresh_only = !options.reuse_connections;
  for (;;) {
    auto cancellation = co_await asio::this_coro::cancellation_state;
    if (cancellation.cancelled() != asio::cancellation_type::none)
      throw TransportError("Cancelled before the request was sent (" + request.method + " " +
                           request.url + ")");
    std::unique_ptr<Connection> connection;
    bool reused = false;
    if (!fresh_only) {
      // An idle connection the peer has closed is dropped before anything is written on it.
      while ((connection = lane->take(target.key))) {
        if (connection->looks_reusable()) {
          reused = true;
          break;
        }
      }
    }
    if (!connection) {
      connection = std::make_unique<Connection>(executor, target,
                                                target.tls ? &tls_context(request) : nullptr);
      ++connections;
    }

    // On the connection's strand, so that its timers and socket are touched by one thread at
    // a time, unless the loop has only one thread anyway.
    Connection::Outcome outcome;
    if (on_private_loop(executor)) {
      outcome = co_await connection->exchange(request, target, options, !reused);
    } else {
      auto operation = asio::co_spawn(connection->strand(),
                                      connection->exchange(request, target, options, !reused),
                                      asio::use_awaitable);
      outcome = co_await std::move(operation);
    }
    if (outcome.response) {
      if (options.reuse_connections && outcome.keep_alive)
        lane->give(std::move(connection), options.max_idle_connections);
      co_return std::move(*outcome.response);
    }
    connection->close();
    if (!outcome.opened)
      throw TransportError(outcome.failure + " (" + request.method + " " + request.url + ")");
    // A reused connection can die just as the request goes out, before the server read it.
    // Only a GET is safe to send again, and only once, on a fresh connection.
    if (reused && !outcome.answer_started && request.method == "GET" &&
        outcome.error != boost::beast::error::timeout &&
        cancellation.cancelled() == asio::cancellation_type::none) {
      fresh_only = true;
      continue;
    }
    throw TransportError(outcome.failure + " (" + request.method + " " + request.url +
                         "); the request may have reached the server");
  }
}

Client::Client(Options options) : impl_(std::make_shared<Impl>()) {
  impl_->options = std::move(options);
}

Client::~Client() = default;

const Options& Client::options() const noexcept { return impl_->options; }

std::size_t Client::connections_opened() const noexcept { return impl_->connections.load(); }

Response Client::get(std::string_view url, const Headers& headers) {
  return request("GET", url, headers);
}

Response Client::request(std::string_view method, std::string_view url, const Headers& headers,
                         const boost::json::value* json_body, const Params* params) {
  std::optional<boost::json::value> body;
  if (json_body) body = *json_body;
  std::optional<Params> query;
  if (params) query = *params;
  return run(async_request(std::string(method), std::string(url), headers, std::move(body),
                           std::move(query)));
}

// Not coroutines themselves: the client's state is taken here, when the call is made, so that
// the Client may be gone before the returned operation first runs.
asio::awaitable<Response> Client::async_get(std::string url, Headers headers) {
  return Impl::request(impl_, "GET", std::move(url), std::move(headers), std::nullopt,
                       std::nullopt);
}

asio::awaitable<Response> Client::async_request(std::string method, std::string url,
                                                Headers headers,
                                                std::optional<boost::json::value> json_body,
                                                std::optional<Params> params) {
  return Impl::request(impl_, std::move(method), std::move(url), std::move(headers),
                       std::move(json_body), std::move(params));
}

asio::awaitable<Response> Client::Impl::request(std::shared_ptr<Impl> impl, std::string method,
                                                std::string url, Headers headers,
                                                std::optional<boost::json::value> json_body,
                                                std::optional<Params> params) {
  // Cancellation is checked before each exchange and reported as a TransportError.
  co_await asio::this_coro::throw_if_cancelled(false);
  WireRequest request =
      prepare(method, url, headers, json_body ? &*json_body : nullptr, params ? &*params : nullptr);
  if (inproc::endpoint_name(request.url)) {
    auto operation = detail::inproc_exchange(request, impl->options);
    co_return co_await std::move(operation);
  }
  auto executor = co_await asio::this_coro::executor;
  auto lane = impl->lane_for(asio::query(executor, asio::execution::context));

  for (int redirects = 0;; ++redirects) {
    Target target = detail::parse_target(request.url, request.method);
    Response response = co_await impl->exchange(lane, request, target);
    // A redirect is followed for GET only: any other request is never sent a second time.
    if (request.method != "GET" || !is_redirect(response.status_code)) co_return response;
    std::string location = response.header("Location");
    if (location.empty()) co_return response;
    if (redirects == 10) throw TransportError("More than 10 redirects (GET " + request.url + ")");
    auto base = boost::urls::parse_uri(request.url);
    auto reference = boost::urls::parse_uri_reference(location);
    boost::urls::url next;
    if (!base || !reference || !boost::urls::resolve(*base, *reference, next))
      throw TransportError("Invalid redirect location '" + location + "' (GET " + request.url +
                           ")");
    next.remove_fragment();
    Target next_target = detail::parse_target(next.buffer(), "GET");
    // Credentials stay with the host they were meant for.
    if (next_target.key != target.key) {
      std::string kept;
      std::string_view fields = request.head_fields;
      while (!fields.empty()) {
        auto end = fields.find("\r\n");
        auto line = fields.substr(0, end + 2);
        fields.remove_prefix(end + 2);
        if (!(line.size() >= 14 && iequals(line.substr(0, 14), "Authorization:"))) kept += line;
      }
      request.head_fields = std::move(kept);
    }
    request.url = std::string(next.buffer());
  }
}

void Client::run_void(asio::awaitable<void> operation) {
  const Impl* self = impl_.get();
  if (std::any_of(running_clients.begin(), running_clients.end(),
                  [&](const Running& r) { return r.client == self; }))
    throw RuntimeError(
        "A blocking call of the HTTP client was made inside its own run() on the same thread, "
        "where it would wait for itself forever: await the async_ operation instead");
  asio::io_context& loop = impl_->thread_loop();
  running_clients.push_back({self, &loop});
  struct Leave {
    ~Leave() { running_clients.pop_back(); }
  } leave;
  std::exception_ptr error;
  asio::co_spawn(loop, std::move(operation), [&error](std::exception_ptr e) { error = e; });
  loop.restart();
  loop.run();
  if (error) std::rethrow_exception(error);
}

}  // namespace tolbu_sdk::platform::http
