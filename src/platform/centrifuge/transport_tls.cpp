// WebSocket connections over TLS (wss://).

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "tolbu_sdk/errors.hpp"
#include "transport_ws.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

namespace ssl = asio::ssl;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

namespace {

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

}  // namespace

asio::awaitable<std::unique_ptr<Transport>> open_tls(
    const tcp::resolver::results_type& results, std::chrono::steady_clock::time_point deadline,
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    const TlsOptions& tls, std::string user_agent) {
  auto ctx = make_tls_context(tls);
  auto t = std::make_unique<WsTransport<TlsWs>>(ctx, co_await asio::this_coro::executor, *ctx);
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
