// Plain WebSocket connections (ws://).

#include "transport_ws.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

using PlainWs = websocket::stream<beast::tcp_stream>;

asio::awaitable<std::unique_ptr<Transport>> open_plain(
    const tcp::resolver::results_type& results, std::chrono::steady_clock::time_point deadline,
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    std::string user_agent) {
  auto t = std::make_unique<WsTransport<PlainWs>>(nullptr, co_await asio::this_coro::executor);
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

}  // namespace tolbu_sdk::platform::centrifuge::detail
