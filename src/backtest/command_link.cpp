#include "command_link.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::backtest::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;

CommandLink::CommandLink(asio::any_io_executor executor) : ws_(std::move(executor)) {}

asio::awaitable<void> CommandLink::open(const std::string& address, const std::string& token,
                                        std::chrono::milliseconds timeout) {
  auto url = boost::urls::parse_uri(address);
  if (!url || url->scheme() != "ws" || url->host().empty())
    throw ValueError("A backtest needs a ws:// streaming address, got '" + address + "'");
  const std::string host(url->host());
  const std::string port = url->has_port() ? std::string(url->port()) : "80";
  const std::string target = url->encoded_path().empty() ? "/" : std::string(url->encoded_path());

  tcp::resolver resolver(ws_.get_executor());
  auto endpoints = co_await resolver.async_resolve(host, port, asio::use_awaitable);
  beast::get_lowest_layer(ws_).expires_after(timeout);
  co_await beast::get_lowest_layer(ws_).async_connect(endpoints, asio::use_awaitable);
  beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true));
  beast::get_lowest_layer(ws_).expires_never();
  websocket::stream_base::timeout options{};
  options.handshake_timeout = timeout;
  options.idle_timeout = websocket::stream_base::none();
  options.keep_alive_pings = false;
  ws_.set_option(options);
  co_await ws_.async_handshake(host + ":" + port, target, asio::use_awaitable);
  ws_.text(true);
  // Named arguments: g++ 12 mishandles literals and braced temporaries inside co_await.
  const json::value connect{{"token", token}, {"name", "tolbu-backtest"}};
  const std::string_view no_method;
  co_await call(no_method, connect);
}

asio::awaitable<json::value> CommandLink::call(std::string_view method, const json::value& data) {
  const std::uint64_t id = next_id_++;
  // The first command is the connect; every later one an rpc.
  const std::string command =
      method.empty()
          ? R"({"id":)" + std::to_string(id) + R"(,"connect":)" + json::serialize(data) + "}"
          : R"({"id":)" + std::to_string(id) + R"(,"rpc":{"method":)" +
                json::serialize(json::string_view(method)) + R"(,"data":)" + json::serialize(data) +
                "}}";
  co_await ws_.async_write(asio::buffer(command), asio::use_awaitable);
  for (;;) {
    buffer_.consume(buffer_.size());
    co_await ws_.async_read(buffer_, asio::use_awaitable);
    const auto bytes = buffer_.cdata();
    std::string_view text(static_cast<const char*>(bytes.data()), bytes.size());
    // A frame may carry several replies, one per line.
    while (!text.empty()) {
      const auto eol = text.find('\n');
      const std::string_view line = text.substr(0, eol);
      text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
      if (line.empty()) continue;
      json::value reply = json::parse(line);
      auto* o = reply.if_object();
      if (!o) throw RuntimeError("Malformed reply from the replay server: " + std::string(line));
      if (o->empty()) {  // the server's ping
        co_await ws_.async_write(asio::buffer(std::string_view("{}")), asio::use_awaitable);
        continue;
      }
      const auto* rid = o->if_contains("id");
      if (!rid || !rid->is_number() || rid->to_number<std::uint64_t>() != id) continue;
      if (const auto* error = o->if_contains("error")) {
        const auto* message =
            error->is_object() ? error->get_object().if_contains("message") : nullptr;
        throw RuntimeError(std::string(method.empty() ? "connect" : method) + " refused: " +
                           (message && message->is_string() ? std::string(message->get_string())
                                                            : json::serialize(*error)));
      }
      if (method.empty()) co_return json::value();
      const auto* rpc = o->if_contains("rpc");
      const auto* result =
          rpc && rpc->is_object() ? rpc->get_object().if_contains("data") : nullptr;
      co_return result ? *result : json::value();
    }
  }
}

void CommandLink::close() noexcept {
  beast::error_code ec;
  beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
  beast::get_lowest_layer(ws_).socket().close(ec);
}

}  // namespace tolbu_sdk::backtest::detail
