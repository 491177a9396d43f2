#pragma once
// The WebSocket layer under the protocol client: one connection, whole text messages in and
// out. Beast stays inside transport*.cpp.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tolbu_sdk::platform::centrifuge::detail {

struct Endpoint {
  bool tls = false;
  bool inproc = false;      // inproc://NAME: a back end linked into the program, host is NAME
  std::string host;         // name or address, without brackets
  std::string port;         // decimal
  std::string target;       // path and query, at least "/"
  std::string host_header;  // host[:port] as the Host header carries it
};

// Parses a ws://, wss:// or inproc:// URL; throws ValueError naming the address otherwise.
Endpoint parse_address(std::string_view address);

struct TlsOptions {
  bool verify = true;
  std::string ca_pem;
};

// What the peer said when it closed the connection with a close frame, or why we refused
// what it sent (a message over the size limit, a frame that breaks the WebSocket rules).
struct PeerClose {
  bool received = false;
  std::uint16_t code = 0;
  std::string reason;
  std::string refused;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // The next whole message; the view stays valid until the next read. Throws
  // boost::system::system_error when the connection ends (see peer_close()).
  virtual boost::asio::awaitable<std::string_view> read() = 0;
  // One text frame. At most one write (or close) at a time.
  virtual boost::asio::awaitable<void> write(std::string_view text) = 0;
  // Sends a close frame; the pending read ends once the peer answers. Not while writing.
  virtual boost::asio::awaitable<void> close(std::uint16_t code, std::string_view reason) = 0;
  // Tears the connection down at once; pending operations fail.
  virtual void abort() noexcept = 0;
  virtual const PeerClose& peer_close() const noexcept = 0;
  // The largest message read() accepts.
  virtual void set_max_message(std::size_t bytes) = 0;
};

// Resolves, connects, runs the TLS handshake for wss and the WebSocket upgrade, all within
// `timeout`. Throws boost::system::system_error (or ValueError for TLS set-up problems).
boost::asio::awaitable<std::unique_ptr<Transport>> open_transport(
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    const TlsOptions& tls, std::chrono::milliseconds timeout, std::string user_agent);

// A connection to the in-process endpoint the address names, on the calling loop, which must
// be the endpoint's. Throws boost::system::system_error when there is none.
boost::asio::awaitable<std::unique_ptr<Transport>> open_inproc(
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    std::string user_agent);

}  // namespace tolbu_sdk::platform::centrifuge::detail
