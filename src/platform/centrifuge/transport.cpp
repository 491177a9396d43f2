#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/url/parse.hpp>

#include "tolbu_sdk/errors.hpp"
#include "transport_ws.hpp"

namespace tolbu_sdk::platform::centrifuge::detail {

logging::Logger& ws_log() {
  static logging::Logger& logger = logging::get_logger("websockets");
  return logger;
}

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
  } else if (scheme == "inproc") {
    out.inproc = true;
  } else {
    throw ValueError(fmt::format(
        "Invalid WebSocket address: '{}' (expected ws://, wss:// or inproc://)", address));
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
  if (endpoint.inproc) co_return co_await open_inproc(endpoint, headers, std::move(user_agent));
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
    co_return co_await open_plain(results, deadline, endpoint, headers, std::move(user_agent));
  }
  co_return co_await open_tls(results, deadline, endpoint, headers, tls, std::move(user_agent));
}

}  // namespace tolbu_sdk::platform::centrifuge::detail
