#pragma once
// The backtest runtime's command connection to tolbu-sim: a Centrifugo client over a plain
// WebSocket that connects and sends "rpc" commands one at a time, answering the server's
// pings while it waits for a reply.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolbu_sdk::backtest::detail {

class CommandLink {
 public:
  explicit CommandLink(boost::asio::any_io_executor executor);

  // Connects to a ws:// address and sends the connect command with the token. Throws
  // ValueError for another kind of address and RuntimeError when the server refuses.
  boost::asio::awaitable<void> open(const std::string& address, const std::string& token,
                                    std::chrono::milliseconds timeout);
  // One rpc; returns the reply's "data". Throws RuntimeError with the server's error.
  boost::asio::awaitable<boost::json::value> call(std::string_view method,
                                                  const boost::json::value& data);
  void close() noexcept;

 private:
  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  std::uint64_t next_id_ = 1;
};

}  // namespace tolbu_sdk::backtest::detail
