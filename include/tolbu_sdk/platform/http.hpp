#pragma once
// The SDK's blocking HTTP client (libcurl underneath). Each Client keeps a small pool of
// connections that are reused across calls (keep-alive); several threads may call one Client
// at once, each exchange then runs on its own pooled connection.
//
//   http::Client client({.connect_timeout = 5s});
//   auto response = client.get(url, {{"Authorization", "Bearer " + token}});
//   if (response.ok()) use(response.json());
//
// A transport failure (refused, unresolvable, reset, timed out) throws TransportError with
// libcurl's message; an HTTP error status is an ordinary Response.

#include <boost/json/value.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolbu_sdk::platform::http {

// Request headers and query parameters: sent in insertion order.
using Headers = std::vector<std::pair<std::string, std::string>>;
using Params = std::vector<std::pair<std::string, std::string>>;

struct Options {
  // Time allowed to resolve, connect and complete the TLS handshake.
  std::chrono::milliseconds connect_timeout{10'000};
  // Once connected, an exchange fails when no byte moves for this long.
  std::chrono::milliseconds stall_timeout{30'000};
  // False opens a fresh connection for every call and closes it afterwards.
  bool reuse_connections = true;
  // Idle connections kept for reuse.
  std::size_t max_idle_connections = 8;
  // Larger answers fail with TransportError instead of exhausting memory.
  std::size_t max_response_bytes = std::size_t{512} << 20;
  bool verify_tls = true;
};

struct Response {
  int status_code = 0;
  std::string reason;  // the status line's reason phrase (a standard one when the server sent none)
  std::string text;    // the body, as received
  Headers headers;     // the final answer's headers
  std::string url;     // the URL requested (after redirects)

  // True when the status is below 400.
  bool ok() const noexcept { return status_code < 400; }
  // The body parsed as JSON; ValueError naming the parse error when it is not JSON
  // (an empty body included).
  boost::json::value json() const;
  // The same, allocating from storage (a monotonic resource makes large answers cheap).
  boost::json::value json(boost::json::storage_ptr storage) const;
  // The first value of a header, case-insensitively; empty when absent.
  std::string header(std::string_view name) const;
};

class Client {
 public:
  explicit Client(Options options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // GET with the given headers only.
  Response get(std::string_view url, const Headers& headers = {});

  // Any method. json_body (when given) is sent as JSON text with keys in insertion order and
  // "Content-Type: application/json" unless headers set one; params (when given and not
  // empty) are appended as "?k=v&..." in order, URL-encoded.
  Response request(std::string_view method, std::string_view url, const Headers& headers = {},
                   const boost::json::value* json_body = nullptr, const Params* params = nullptr);

  const Options& options() const noexcept;
  // Connections opened so far (a connection reused for many calls counts once).
  std::size_t connections_opened() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One path segment, percent-encoded: RFC 3986 unreserved characters (ALPHA DIGIT - . _ ~)
// stay as they are, every other byte becomes %XX, so "/", "?", "#", "%" and spaces cannot
// change which resource a URL names.
std::string encode_path_segment(std::string_view segment);

// A query string without the "?": k=v pairs joined by "&", form-encoded (space as "+").
std::string encode_query(const Params& params);

// The first max_chars characters of UTF-8 text (never splitting a multi-byte character).
std::string_view text_prefix(std::string_view text, std::size_t max_chars);

}  // namespace tolbu_sdk::platform::http
