// Sessions over plain TCP (ws://): the sim's own port and the hub's plain listener.

#include "streaming/session.hpp"

namespace tolbu_sim::streaming {

using PlainWs = websocket::stream<beast::tcp_stream>;

void start_plain_session(const StatePtr& state, beast::tcp_stream stream,
                         http::request<http::string_body> req) {
  start_session(state, PlainWs(std::move(stream)), std::move(req));
}

asio::awaitable<void> serve_plain(StatePtr state, tcp::socket socket) {
  try {
    beast::tcp_stream stream(std::move(socket));
    co_await serve_upgrade(state, stream);
  } catch (const std::exception& e) {
    state->note("listener: ", e.what());
  }
}

}  // namespace tolbu_sim::streaming
