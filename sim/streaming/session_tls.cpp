// Sessions over TLS (wss://): the hub's TLS listener.

#include <boost/asio/ssl/stream_base.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "streaming/session.hpp"

namespace tolbu_sim::streaming {

namespace ssl = asio::ssl;

asio::awaitable<void> serve_tls(StatePtr state, tcp::socket socket,
                                std::shared_ptr<ssl::context> tls) {
  try {
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *tls);
    beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
    co_await stream.async_handshake(ssl::stream_base::server, asio::use_awaitable);
    co_await serve_upgrade(state, stream);
  } catch (const std::exception& e) {
    state->note("TLS listener: ", e.what());
  }
}

}  // namespace tolbu_sim::streaming
