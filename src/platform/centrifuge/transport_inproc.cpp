// The transport to a back end linked into the program: whole messages through an in-memory
// connection on the caller's loop, as the WebSocket would carry them.

#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include <fmt/core.h>

#include "tolbu_sdk/platform/inproc.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "transport.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

namespace asio = boost::asio;

logging::Logger& ws_log();

namespace {

class InprocTransport final : public Transport {
 public:
  explicit InprocTransport(std::shared_ptr<inproc::MessageEnd> end) : end_(std::move(end)) {}
  ~InprocTransport() override { end_->abort(); }

  asio::awaitable<std::string_view> read() override {
    try {
      const std::string_view text = co_await end_->read();
      if (text.size() > max_message_) {
        peer_.refused = "WebSocket message exceeds the limit";
        end_->abort();
        throw boost::system::system_error(asio::error::message_size);
      }
      co_return text;
    } catch (const boost::system::system_error&) {
      if (const auto& closed = end_->peer_close(); closed.received && !peer_.received) {
        peer_.received = true;
        peer_.code = closed.code;
        peer_.reason = closed.reason;
        ws_log().debug("< CLOSE {} {}", peer_.code, peer_.reason);
      }
      throw;
    }
  }

  asio::awaitable<void> write(std::string_view text) override {
    if (!end_->send(std::string(text)))
      throw boost::system::system_error(asio::error::connection_reset, "in-process connection");
    co_return;
  }

  asio::awaitable<void> close(std::uint16_t code, std::string_view reason) override {
    ws_log().debug("> CLOSE {} {}", code, reason);
    end_->close(code, std::string(reason));
    co_return;
  }

  void abort() noexcept override { end_->abort(); }
  const PeerClose& peer_close() const noexcept override { return peer_; }
  void set_max_message(std::size_t bytes) override { max_message_ = bytes; }

 private:
  std::shared_ptr<inproc::MessageEnd> end_;
  PeerClose peer_;
  std::size_t max_message_ = 64 * 1024 * 1024;
};

}  // namespace

asio::awaitable<std::unique_ptr<Transport>> open_inproc(
    const Endpoint& endpoint, const std::map<std::string, std::string>& headers,
    std::string user_agent) {
  auto endpoint_of = inproc::find_endpoint(endpoint.host);
  if (!endpoint_of || !endpoint_of->stream)
    throw boost::system::system_error(
        asio::error::connection_refused,
        fmt::format("No in-process back end named '{}'", endpoint.host));
  auto ex = co_await asio::this_coro::executor;
  // Both ends of the connection run on one loop: the endpoint's.
  if (&asio::query(ex, asio::execution::context) != endpoint_of->loop)
    throw boost::system::system_error(
        asio::error::operation_not_supported,
        fmt::format("The in-process back end '{}' is reached from its own event loop only",
                    endpoint.host));
  inproc::HttpRequest upgrade;
  upgrade.method = "GET";
  upgrade.target = endpoint.target;
  upgrade.headers.emplace_back("Host", endpoint.host_header);
  upgrade.headers.emplace_back("User-Agent", std::move(user_agent));
  for (const auto& [name, value] : headers) upgrade.headers.emplace_back(name, value);
  auto [client, server] = inproc::connect_pair(endpoint_of->loop->get_executor());
  ws_log().debug("Connecting to in-process {}{}", endpoint.host, endpoint.target);
  endpoint_of->stream(std::move(server), upgrade);
  co_return std::make_unique<InprocTransport>(std::move(client));
}

}  // namespace tolbu_sdk::platform::centrifuge::detail
