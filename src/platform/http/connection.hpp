#pragma once
// One HTTP/1.1 connection (plain or TLS) and the exchange of one request on it.

#include "tolbu_sdk/platform/http.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <memory>
#include <optional>
#include <string>

namespace tolbu_sdk::platform::http::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;

// Where a URL points, split for connecting and for the request line.
struct Target {
  bool tls = false;
  std::string host;         // without IPv6 brackets, for resolving and certificate checks
  std::string port;         // explicit or the scheme's default
  std::string host_header;  // the Host header's value
  std::string target;       // path and query for the request line
  std::string key;          // scheme, host and port: which pooled connections fit
};

// TransportError naming the URL for anything but an http or https URL with a host.
Target parse_target(std::string_view url, std::string_view method);

// The request as it goes on the wire, built once and never written twice.
struct WireRequest {
  std::string method;
  std::string url;
  std::string head_fields;  // header lines after Host, each ending in CRLF
  std::string body;
  bool has_body = false;
};

// The exchange with a back end linked into the program: the URL is "inproc://NAME/...".
asio::awaitable<Response> inproc_exchange(const WireRequest& request, const Options& options);

// Interim (1xx) answers accepted before the real one.
inline constexpr int kMaxInterimAnswers = 8;

// Everything a connection does runs on its own strand, so that its timers and its socket are
// never touched by two threads at once when the loop is run by several.
class Connection {
 public:
  Connection(const asio::any_io_executor& executor, const Target& target,
             asio::ssl::context* tls_context);
  ~Connection();

  const std::string& key() const noexcept { return key_; }
  const asio::any_io_executor& strand() const noexcept { return strand_; }
  beast::tcp_stream& tcp() noexcept;

  // Resolves, connects and (for https) completes the handshake within connect_timeout.
  // Empty on success, else why it failed. Runs on strand().
  asio::awaitable<std::string> open(const Target& target, const Options& options);

  // False when the peer has closed the idle connection or sent something unasked.
  bool looks_reusable();

  // What one exchange left behind: the answer, or how far the request got.
  struct Outcome {
    std::optional<Response> response;
    bool opened = true;           // false: the connection failed before anything was written
    bool answer_started = false;  // a byte of the answer arrived
    bool keep_alive = false;      // the connection may carry another request
    beast::error_code error;
    std::string failure;  // the reason of a failure, for the TransportError
  };
  // Opens the connection first when asked, then writes the request (once) and reads the
  // answer; never throws on I/O failure. Runs on strand().
  asio::awaitable<Outcome> exchange(const WireRequest& request, const Target& target,
                                    const Options& options, bool open_first);

  void close() noexcept;

 private:
  template <typename Stream>
  asio::awaitable<Outcome> exchange_on(Stream& stream, const WireRequest& request,
                                       const Target& target, const Options& options);

  std::string key_;
  asio::any_io_executor strand_;
  std::optional<beast::tcp_stream> plain_;
  std::unique_ptr<asio::ssl::stream<beast::tcp_stream>> tls_;
  beast::flat_buffer buffer_;
};

}  // namespace tolbu_sdk::platform::http::detail
