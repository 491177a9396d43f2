#pragma once
// In-process endpoints: a back end linked into the strategy's own program (tolbu-sim's engine)
// is registered under a name and reached by "inproc://NAME" URLs instead of a socket. The HTTP
// client hands such a request to the endpoint's handler; the streaming client opens a pair of
// message queues to a session of the endpoint. Requests, answers and frames are the ones the
// socket path carries; only the socket and the byte framing are skipped. Both sides run on the
// endpoint's event loop, so a backtest's lockstep costs function calls, not system calls.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::platform::inproc {

// Header fields in order, as on the wire.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A request as the HTTP client would send it.
struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query, as on the request line
  HeaderList headers;  // as they would go on the wire, Host first
  std::string body;    // the request's body, empty without one
};

// An answer as the server would send it.
struct HttpAnswer {
  int status = 200;    // the status code
  std::string reason;  // the status line's reason
  HeaderList headers;  // header fields in order
  std::string body;    // the whole body
  bool dropped = false;  // the server cut the connection instead of answering
};

// Answers one request on the endpoint's loop.
using HttpHandler = std::function<boost::asio::awaitable<HttpAnswer>(HttpRequest)>;

// One end of an in-memory message connection. Both ends belong to one event loop.
class TOLBU_API MessageEnd {
 public:
  struct Link;
  // Made by connect_pair: one side (0 or 1) of a link.
  MessageEnd(std::shared_ptr<Link> link, int side);
  ~MessageEnd();
  MessageEnd(const MessageEnd&) = delete;
  MessageEnd& operator=(const MessageEnd&) = delete;

  // The next message; the view stays valid until the next read. Once the other end closed
  // or either end aborted, and nothing sent before is left, throws boost::system::system_error.
  boost::asio::awaitable<std::string_view> read();
  // Queues a message for the other end; false once the connection is closing or gone.
  bool send(std::string message);
  // The other end reads what was sent before, then sees this code and reason.
  void close(std::uint16_t code, std::string reason);
  // Ends both directions at once: pending and later reads fail.
  void abort() noexcept;

  // The other end's close (received: it sent one).
  struct Closed {
    bool received = false;   // a close came from the other end
    std::uint16_t code = 0;  // its code (WebSocket close codes)
    std::string reason;      // its reason
  };
  // What the other end said when it closed.
  const Closed& peer_close() const noexcept;
  // True until either end closed or aborted.
  bool is_open() const noexcept;

 private:
  std::shared_ptr<Link> link_;
  int side_;
  std::string current_;  // the message read() last returned
};

// A connected pair: first for the client, second for the server.
TOLBU_API std::pair<std::shared_ptr<MessageEnd>, std::shared_ptr<MessageEnd>> connect_pair(
    boost::asio::io_context::executor_type executor);

// Takes over the server end of a new connection; upgrade is the client's opening request.
using StreamAcceptor =
    std::function<void(std::shared_ptr<MessageEnd> server_end, const HttpRequest& upgrade)>;

// What a name answers with.
struct Endpoint {
  boost::asio::io_context* loop = nullptr;  // where the handlers run
  HttpHandler http;                         // its REST side
  StreamAcceptor stream;                    // its streaming side
};

// Registers an endpoint; ValueError when the name is empty or taken.
TOLBU_API void add_endpoint(const std::string& name, Endpoint endpoint);
// Forgets an endpoint; connections already open are not affected.
TOLBU_API void remove_endpoint(const std::string& name);
// Null when nothing is registered under the name.
TOLBU_API std::shared_ptr<const Endpoint> find_endpoint(std::string_view name);

// NAME of "inproc://NAME[/...]"; absent for any other URL.
TOLBU_API std::optional<std::string_view> endpoint_name(std::string_view url);
// The path and query of an inproc URL ("/" at least).
TOLBU_API std::string endpoint_target(std::string_view url);

}  // namespace tolbu_sdk::platform::inproc
