#include "connection.hpp"

#include "tolbu_sdk/errors.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/url/parse.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <cerrno>

namespace tolbu_sdk::platform::http::detail {

namespace bhttp = beast::http;
using tcp = asio::ip::tcp;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

Target parse_target(std::string_view url, std::string_view method) {
  auto fail = [&](const std::string& why) {
    return TransportError(why + " (" + std::string(method) + " " + std::string(url) + ")");
  };
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed) throw fail("Malformed URL: " + parsed.error().message());
  const auto& u = *parsed;
  Target out;
  if (u.scheme_id() == boost::urls::scheme::https) {
    out.tls = true;
  } else if (u.scheme_id() != boost::urls::scheme::http) {
    throw fail("Unsupported URL scheme '" + std::string(u.scheme()) + "': only http and https");
  }
  if (!u.has_authority() || u.encoded_host().empty()) throw fail("URL without a host");
  out.host = u.host_address();
  std::string default_port = out.tls ? "443" : "80";
  out.port = u.has_port() && !u.port().empty() ? std::string(u.port()) : default_port;
  out.host_header = std::string(u.encoded_host());
  if (out.port != default_port) out.host_header += ":" + out.port;
  out.target = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
  if (u.has_query()) out.target += "?" + std::string(u.encoded_query());
  out.key = std::string(u.scheme()) + "://" + out.host_header + ":" + out.port;
  return out;
}

Connection::Connection(const asio::any_io_executor& executor, const Target& target,
                       asio::ssl::context* tls_context)
    : key_(target.key) {
  if (target.tls)
    tls_ = std::make_unique<asio::ssl::stream<beast::tcp_stream>>(executor, *tls_context);
  else
    plain_.emplace(executor);
}

Connection::~Connection() { close(); }

beast::tcp_stream& Connection::tcp() noexcept { return tls_ ? tls_->next_layer() : *plain_; }

void Connection::close() noexcept {
  beast::error_code ec;
  tcp().socket().close(ec);
}

namespace {

bool is_ip_address(const std::string& host) {
  beast::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

// Notices an exchange that stalls: one timer for the whole exchange, pushed on by each
// completed read or write, instead of a timer per socket operation (each of which costs the
// loop a timer update on every call).
struct Watchdog : std::enable_shared_from_this<Watchdog> {
  using Clock = std::chrono::steady_clock;
  Watchdog(const asio::any_io_executor& executor, beast::tcp_stream& stream,
           std::chrono::milliseconds stall)
      : timer(executor), tcp(&stream), stall(stall) {}

  void start() {
    last = Clock::now();
    arm();
  }
  void moved() { last = Clock::now(); }
  void stop() {
    done = true;
    timer.cancel();
  }

  asio::steady_timer timer;
  beast::tcp_stream* tcp;  // only touched while the exchange runs
  std::chrono::milliseconds stall;
  Clock::time_point last;
  bool done = false;
  bool fired = false;

 private:
  void arm() {
    timer.expires_at(last + stall);
    timer.async_wait([self = shared_from_this()](const beast::error_code& ec) {
      if (ec || self->done) return;
      if (Clock::now() - self->last >= self->stall) {
        self->fired = true;
        beast::error_code ignored;
        self->tcp->socket().cancel(ignored);
      } else {
        self->arm();
      }
    });
  }
};

std::string describe(const beast::error_code& ec, const Options& options) {
  if (ec == beast::error::timeout)
    return "Operation timed out: no data received for " +
           std::to_string(options.stall_timeout.count()) + " ms";
  if (ec == bhttp::error::body_limit)
    return "Response larger than " + std::to_string(options.max_response_bytes) + " bytes";
  if (ec == bhttp::error::end_of_stream)
    return "The server closed the connection without answering";
  if (ec == bhttp::error::partial_message)
    return "The connection closed in the middle of the answer";
  if (ec == bhttp::error::bad_status) return "Malformed answer: no valid status code";
  return "Connection failed: " + ec.message();
}

}  // namespace

asio::awaitable<std::string> Connection::open(const Target& target, const Options& options) {
  auto where = target.host + ":" + target.port;
  tcp::resolver resolver(tcp().get_executor());
  auto [resolve_error, endpoints] =
      co_await resolver.async_resolve(target.host, target.port, kTuple);
  if (resolve_error)
    co_return "Could not resolve host " + target.host + ": " + resolve_error.message();

  tcp().expires_after(options.connect_timeout);
  auto [connect_error, endpoint] = co_await tcp().async_connect(endpoints, kTuple);
  if (connect_error == beast::error::timeout)
    co_return "Connection to " + where + " timed out after " +
        std::to_string(options.connect_timeout.count()) + " ms";
  if (connect_error) co_return "Could not connect to " + where + ": " + connect_error.message();
  beast::error_code ignored;
  tcp().socket().set_option(tcp::no_delay(true), ignored);
  if (!tls_) co_return std::string();

  SSL* ssl = tls_->native_handle();
  bool numeric = is_ip_address(target.host);
  // SNI names hosts only; an address literal is checked against the certificate's IP entries.
  if (!numeric) SSL_set_tlsext_host_name(ssl, target.host.c_str());
  if (options.verify_tls) {
    int set = numeric ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), target.host.c_str())
                      : SSL_set1_host(ssl, target.host.c_str());
    if (set != 1) co_return "Could not set up the certificate check for " + target.host;
  }
  auto [handshake_error] = co_await tls_->async_handshake(asio::ssl::stream_base::client, kTuple);
  if (handshake_error) {
    std::string message = "TLS handshake with " + where + " failed: ";
    long verify = SSL_get_verify_result(ssl);
    if (handshake_error == beast::error::timeout)
      message += "timed out after " + std::to_string(options.connect_timeout.count()) + " ms";
    else
      message += handshake_error.message();
    if (verify != X509_V_OK)
      message += std::string(" (certificate: ") + X509_verify_cert_error_string(verify) + ")";
    co_return message;
  }
  co_return std::string();
}

bool Connection::looks_reusable() {
  if (buffer_.size() != 0) return false;
  char byte;
  ssize_t n = ::recv(tcp().socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  // 0: the peer closed; a byte: something unasked (a closing notice); else only "no data yet"
  // means alive.
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

asio::awaitable<Connection::Outcome> Connection::exchange(const WireRequest& request,
                                                          const Target& target,
                                                          const Options& options) {
  if (tls_) co_return co_await exchange_on(*tls_, request, target, options);
  co_return co_await exchange_on(*plain_, request, target, options);
}

template <typename Stream>
asio::awaitable<Connection::Outcome> Connection::exchange_on(Stream& stream,
                                                             const WireRequest& request,
                                                             const Target& target,
                                                             const Options& options) {
  Outcome out;
  std::string wire;
  wire.reserve(64 + target.target.size() + request.head_fields.size() + request.body.size());
  wire.append(request.method).append(" ").append(target.target).append(" HTTP/1.1\r\nHost: ");
  wire.append(target.host_header).append("\r\n").append(request.head_fields).append("\r\n");
  wire.append(request.body);

  // The connect deadline is over; from here the watchdog watches for stalls.
  tcp().expires_never();
  auto watchdog = std::make_shared<Watchdog>(tcp().get_executor(), tcp(), options.stall_timeout);
  watchdog->start();
  struct Stop {
    Watchdog& watchdog;
    ~Stop() { watchdog.stop(); }
  } stop{*watchdog};
  auto fail = [&](const beast::error_code& ec) {
    out.error = watchdog->fired ? beast::error::timeout : ec;
    out.failure = describe(out.error, options);
  };

  std::size_t written = 0;
  while (written < wire.size()) {
    auto [ec, n] = co_await stream.async_write_some(
        asio::buffer(wire.data() + written, wire.size() - written), kTuple);
    written += n;
    watchdog->moved();
    if (ec || watchdog->fired) {
      fail(ec);
      co_return out;
    }
  }

  std::optional<bhttp::response_parser<bhttp::string_body>> parser;
  for (;;) {
    parser.emplace();
    parser->body_limit(options.max_response_bytes);
    parser->header_limit(64 * 1024);
    if (request.method == "HEAD") parser->skip(true);
    while (!parser->is_done()) {
      auto [ec, n] = co_await bhttp::async_read_some(stream, buffer_, *parser, kTuple);
      watchdog->moved();
      if (n > 0 || buffer_.size() > 0 || parser->got_some()) out.answer_started = true;
      if (ec || watchdog->fired) {
        fail(ec);
        co_return out;
      }
    }
    int status = parser->get().result_int();
    // Beast reads any three digits; "020" is no status at all, and below 400 it would pass
    // for a success.
    if (status < 100) {
      fail(bhttp::error::bad_status);
      co_return out;
    }
    // Interim answers (100 Continue and the like) precede the real one.
    if (status >= 100 && status < 200 && status != 101) continue;
    break;
  }

  bool until_eof = parser->need_eof();
  auto message = parser->release();
  Response response;
  response.status_code = static_cast<int>(message.result_int());
  response.reason = std::string(message.reason());
  if (response.reason.empty())
    response.reason = std::string(bhttp::obsolete_reason(message.result()));
  response.headers.reserve(8);
  for (const auto& field : message)
    response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  response.text = std::move(message.body());
  response.url = request.url;
  out.keep_alive = message.keep_alive() && !until_eof && buffer_.size() == 0;
  out.response = std::move(response);
  co_return out;
}

}  // namespace tolbu_sdk::platform::http::detail
