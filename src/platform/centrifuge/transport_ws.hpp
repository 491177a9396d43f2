#pragma once
// The WebSocket stream behind a Transport, for the two files that open one (plain and TLS):
// Beast's WebSocket code is compiled once per stream type.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <fmt/core.h>

#include "tolbu_sdk/platform/logging.hpp"
#include "transport.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

logging::Logger& ws_log();

inline constexpr std::size_t kMaxMessage = 64 * 1024 * 1024;

template <typename Ws>
class WsTransport final : public Transport {
 public:
  template <typename... Args>
  explicit WsTransport(std::shared_ptr<void> tls, Args&&... args)
      : tls_(std::move(tls)), ws_(std::forward<Args>(args)...) {}

  Ws& ws() { return ws_; }

  asio::awaitable<std::string_view> read() override {
    buffer_.consume(buffer_.size());
    try {
      co_await ws_.async_read(buffer_, asio::use_awaitable);
    } catch (const boost::system::system_error& e) {
      if (e.code() == websocket::error::closed) {
        peer_.received = true;
        peer_.code = ws_.reason().code;
        peer_.reason = std::string(ws_.reason().reason.c_str());
        ws_log().debug("< CLOSE {} {}", peer_.code, peer_.reason);
      } else if (e.code() == websocket::error::message_too_big ||
                 e.code() == websocket::condition::protocol_violation) {
        peer_.refused = e.code().message();
      }
      throw;
    }
    const auto data = buffer_.cdata();
    co_return std::string_view(static_cast<const char*>(data.data()), data.size());
  }

  asio::awaitable<void> write(std::string_view text) override {
    co_await ws_.async_write(asio::buffer(text.data(), text.size()), asio::use_awaitable);
  }

  asio::awaitable<void> close(std::uint16_t code, std::string_view reason) override {
    websocket::close_reason cr(static_cast<websocket::close_code>(code),
                               beast::string_view(reason.data(), reason.size()));
    ws_log().debug("> CLOSE {} {}", code, reason);
    co_await ws_.async_close(cr, asio::use_awaitable);
  }

  void abort() noexcept override {
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).socket().close(ec);
  }

  const PeerClose& peer_close() const noexcept override { return peer_; }

  void set_max_message(std::size_t bytes) override { ws_.read_message_max(bytes); }

 private:
  std::shared_ptr<void> tls_;  // outlives the stream that uses it
  Ws ws_;
  beast::flat_buffer buffer_;
  PeerClose peer_;
};

template <typename Ws>
void configure(Ws& ws, const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
               std::string user_agent) {
  ws.set_option(websocket::stream_base::decorator(
      [headers, user_agent = std::move(user_agent)](websocket::request_type& req) {
        req.set(http::field::user_agent, user_agent);
        for (const auto& [name, value] : headers) req.set(name, value);
      }));
  ws.read_message_max(kMaxMessage);
  ws.auto_fragment(false);
  ws.text(true);
  (void)endpoint;
}

template <typename Ws>
asio::awaitable<void> upgrade(Ws& ws, const Endpoint& endpoint) {
  websocket::response_type res;
  try {
    co_await ws.async_handshake(res, endpoint.host_header, endpoint.target, asio::use_awaitable);
  } catch (const boost::system::system_error& e) {
    if (e.code() == websocket::error::upgrade_declined) {
      throw boost::system::system_error(
          e.code(), fmt::format("WebSocket upgrade refused with HTTP {} {}", res.result_int(),
                                std::string(res.reason())));
    }
    throw;
  }
  // From here on the protocol's pings watch the connection, not a socket timer.
  beast::get_lowest_layer(ws).expires_never();
  websocket::stream_base::timeout opt{};
  opt.handshake_timeout = std::chrono::seconds(5);
  opt.idle_timeout = websocket::stream_base::none();
  opt.keep_alive_pings = false;
  ws.set_option(opt);
}

// Connects to one of the resolved addresses and opens the WebSocket, all before `deadline`.
asio::awaitable<std::unique_ptr<Transport>> open_plain(
    const tcp::resolver::results_type& results, std::chrono::steady_clock::time_point deadline,
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    std::string user_agent);
// The same over TLS, with the server's name sent and, when verifying, checked.
asio::awaitable<std::unique_ptr<Transport>> open_tls(
    const tcp::resolver::results_type& results, std::chrono::steady_clock::time_point deadline,
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    const TlsOptions& tls, std::string user_agent);

}  // namespace tolbu_sdk::platform::centrifuge::detail
