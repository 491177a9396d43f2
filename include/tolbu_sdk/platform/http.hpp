#pragma once
// The SDK's HTTP/1.1 client for the REST services, on Boost.Beast (OpenSSL for https).
//
//   http::Client client({.connect_timeout = 5s});
//   auto response = client.get(url, {{"Authorization", "Bearer " + token}});   // blocking
//   auto again = co_await client.async_get(url);                              // on the loop
//   if (response.ok()) use(response.json());
//
// Connections are kept alive and reused. Each event loop (io_context) that awaits the client
// has its own small pool of connections, and so has each thread that makes blocking calls:
// a blocking call runs on a private loop of the client for the calling thread, an awaitable
// call runs on the loop that awaits it without blocking it. Several threads and several
// awaiting coroutines may use one Client at once, and a loop may be run by several threads;
// each exchange has a connection to itself. A thread's private loop and its connections are
// released when the thread ends.
//
// A request is written at most once. A transport failure (refused, unresolvable, reset, timed
// out, bad certificate) throws TransportError; when it happened after the request may have
// left, the message says that the request may have reached the server. Only a GET is sent a
// second time, once, on a fresh connection, when a reused connection died before any answer
// byte. An HTTP error status is an ordinary Response. Redirects are followed for GET only.
// An exchange fails when no byte moves for Options::stall_timeout, when its answer is not
// complete within Options::total_timeout, or after more than 8 interim (1xx) answers.
// Cancelling an awaited call throws TransportError, saying whether the request was sent.

#include <boost/asio/awaitable.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/platform/http_options.hpp"

namespace tolbu_sdk::platform::http {

// One HTTP answer, whatever its status.
struct TOLBU_API Response {
  // The HTTP status code.
  int status_code = 0;
  std::string reason;  // the status line's reason phrase (a standard one when the server sent none)
  std::string text;    // the body, as received
  Headers headers;     // the final answer's headers
  std::string url;     // the URL requested (after redirects)

  // True when the status is below 400.
  bool ok() const noexcept { return status_code < 400; }
  // The body parsed as JSON (numbers read exactly); ValueError naming the parse error when it
  // is not JSON (an empty body included).
  boost::json::value json() const;
  // The same, allocating from storage (a monotonic resource makes large answers cheap).
  boost::json::value json(boost::json::storage_ptr storage) const;
  // The first value of a header, case-insensitively; empty when absent.
  std::string header(std::string_view name) const;
};

// The SDK's HTTP/1.1 client: blocking and awaitable calls over pooled keep-alive connections.
class TOLBU_API Client {
 public:
  // A client with its timeouts and pool settings; connects nothing yet.
  explicit Client(Options options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // GET with the given headers only. Blocks the calling thread.
  Response get(std::string_view url, const Headers& headers = {});

  // Any method. json_body (when given) is sent as JSON text with keys in insertion order and
  // "Content-Type: application/json" unless headers set one; params (when given and not
  // empty) are appended as "?k=v&..." in order, URL-encoded. Blocks the calling thread.
  // ValueError for a header with control characters or one the client sets itself (Host,
  // Content-Length, Transfer-Encoding).
  Response request(std::string_view method, std::string_view url, const Headers& headers = {},
                   const boost::json::value* json_body = nullptr, const Params* params = nullptr);

  // The awaitable twins: the exchange runs on the awaiting coroutine's executor and never
  // blocks it. Arguments and the client's state are taken when the call is made, so the
  // Client may be destroyed before the returned operation runs.
  boost::asio::awaitable<Response> async_get(std::string url, Headers headers = {});
  // @copydoc request
  boost::asio::awaitable<Response> async_request(
      std::string method, std::string url, Headers headers = {},
      std::optional<boost::json::value> json_body = std::nullopt,
      std::optional<Params> params = std::nullopt);

  // Runs an awaitable to its end on this client's loop for the calling thread, so that a
  // blocking operation can share the code of its awaitable twin. A blocking call of the same
  // client from inside the operation throws RuntimeError (it would wait for itself).
  template <typename T>
  T run(boost::asio::awaitable<T> operation) {
    std::optional<T> result;
    run_void(store(std::move(operation), result));
    return std::move(*result);
  }
  // The same for an operation without a result.
  void run(boost::asio::awaitable<void> operation) { run_void(std::move(operation)); }

  // The settings it was made with.
  const Options& options() const noexcept;
  // Connections opened so far (a connection reused for many calls counts once).
  std::size_t connections_opened() const noexcept;

  struct Impl;

 private:
  template <typename T>
  static boost::asio::awaitable<void> store(boost::asio::awaitable<T> operation,
                                            std::optional<T>& result) {
    result.emplace(co_await std::move(operation));
  }
  void run_void(boost::asio::awaitable<void> operation);

  std::shared_ptr<Impl> impl_;
};

// One path segment, percent-encoded: RFC 3986 unreserved characters (ALPHA DIGIT - . _ ~)
// stay as they are, every other byte becomes %XX, so "/", "?", "#", "%" and spaces cannot
// change which resource a URL names; "." and ".." become "%2E" and "%2E%2E", which nothing on
// the way collapses as a step up.
TOLBU_API std::string encode_path_segment(std::string_view segment);

// A query string without the "?": k=v pairs joined by "&", form-encoded (space as "+").
TOLBU_API std::string encode_query(const Params& params);

// The first max_chars characters of UTF-8 text (never splitting a multi-byte character).
TOLBU_API std::string_view text_prefix(std::string_view text, std::size_t max_chars);

}  // namespace tolbu_sdk::platform::http
