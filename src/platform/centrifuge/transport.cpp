#include "transport.hpp"

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

logging::Logger& ws_log() {
  static logging::Logger& logger = logging::get_logger("websockets");
  return logger;
}

constexpr std::size_t kMaxMessage = 64 * 1024 * 1024;

template <typename Ws>
class WsTransport final : public Transport {
 public:
  template <typename... Args>
  explicit WsTransport(std::shared_ptr<ssl::context> tls, Args&&... args)
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

 private:
  std::shared_ptr<ssl::context> tls_;  // outlives the stream that uses it
  Ws ws_;
  beast::flat_buffer buffer_;
  PeerClose peer_;
};

using PlainWs = websocket::stream<beast::tcp_stream>;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

std::shared_ptr<ssl::context> make_tls_context(const TlsOptions& options) {
  auto ctx = std::make_shared<ssl::context>(ssl::context::tls_client);
  ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3);
  beast::error_code ec;
  ctx->set_default_verify_paths(ec);  // no system store is not fatal when a CA is given
  if (!options.ca_pem.empty()) {
    ctx->add_certificate_authority(asio::buffer(options.ca_pem), ec);
    if (ec) throw ValueError("Invalid TLS certificate authority: " + ec.message());
  }
  ctx->set_verify_mode(options.verify ? ssl::verify_peer : ssl::verify_none);
  return ctx;
}

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

}  // namespace

Endpoint parse_address(std::string_view address) {
  auto parsed = boost::urls::parse_uri(address);
  if (!parsed) throw ValueError(fmt::format("Invalid WebSocket address: '{}'", address));
  const auto& url = *parsed;
  Endpoint out;
  const auto scheme = url.scheme();
  if (scheme == "ws") {
    out.tls = false;
  } else if (scheme == "wss") {
    out.tls = true;
  } else {
    throw ValueError(
        fmt::format("Invalid WebSocket address: '{}' (expected ws:// or wss://)", address));
  }
  if (url.host_type() == boost::urls::host_type::ipv6) {
    out.host = url.host_ipv6_address().to_string();
  } else {
    out.host = std::string(url.host());
  }
  if (out.host.empty()) throw ValueError(fmt::format("Invalid WebSocket address: '{}'", address));
  out.port = url.has_port() && !url.port().empty() ? std::string(url.port())
                                                   : std::string(out.tls ? "443" : "80");
  out.target = std::string(url.encoded_path());
  if (out.target.empty()) out.target = "/";
  if (url.has_query()) out.target += "?" + std::string(url.encoded_query());
  out.host_header = std::string(url.encoded_host_and_port());
  return out;
}

asio::awaitable<std::unique_ptr<Transport>> open_transport(
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    const TlsOptions& tls, std::chrono::milliseconds timeout, std::string user_agent) {
  auto ex = co_await asio::this_coro::executor;
  const auto deadline = std::chrono::steady_clock::now() + timeout;

  // The resolver has no deadline of its own: a timer cancels it.
  tcp::resolver resolver(ex);
  auto watchdog = std::make_shared<asio::steady_timer>(ex, deadline);
  watchdog->async_wait([&resolver, w = watchdog](beast::error_code ec) {
    if (!ec) resolver.cancel();
  });
  tcp::resolver::results_type results;
  try {
    results = co_await resolver.async_resolve(endpoint.host, endpoint.port, asio::use_awaitable);
  } catch (const boost::system::system_error& e) {
    watchdog->cancel();
    if (e.code() == asio::error::operation_aborted) {
      throw boost::system::system_error(beast::error::timeout, "Resolving " + endpoint.host);
    }
    throw;
  }
  watchdog->cancel();

  ws_log().debug("Connecting to {}:{}{} ({})", endpoint.host, endpoint.port, endpoint.target,
                 endpoint.tls ? "TLS" : "plain");
  if (!endpoint.tls) {
    auto t = std::make_unique<WsTransport<PlainWs>>(nullptr, ex);
    auto& ws = t->ws();
    configure(ws, endpoint, headers, std::move(user_agent));
    auto& lowest = beast::get_lowest_layer(ws);
    lowest.expires_at(deadline);
    co_await lowest.async_connect(results, asio::use_awaitable);
    lowest.socket().set_option(tcp::no_delay(true));
    co_await upgrade(ws, endpoint);
    ws_log().debug("Connection open: ws://{}{}", endpoint.host_header, endpoint.target);
    co_return t;
  }

  auto ctx = make_tls_context(tls);
  auto t = std::make_unique<WsTransport<TlsWs>>(ctx, ex, *ctx);
  auto& ws = t->ws();
  configure(ws, endpoint, headers, std::move(user_agent));
  auto& stream = ws.next_layer();
  if (!SSL_set_tlsext_host_name(stream.native_handle(), endpoint.host.c_str())) {
    throw boost::system::system_error(
        beast::error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
        "Setting the TLS server name");
  }
  if (tls.verify) stream.set_verify_callback(ssl::host_name_verification(endpoint.host));
  auto& lowest = beast::get_lowest_layer(ws);
  lowest.expires_at(deadline);
  co_await lowest.async_connect(results, asio::use_awaitable);
  lowest.socket().set_option(tcp::no_delay(true));
  co_await stream.async_handshake(ssl::stream_base::client, asio::use_awaitable);
  co_await upgrade(ws, endpoint);
  ws_log().debug("Connection open: wss://{}{}", endpoint.host_header, endpoint.target);
  co_return t;
}

}  // namespace tolbu_sdk::platform::centrifuge::detail
