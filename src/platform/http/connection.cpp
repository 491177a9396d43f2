#include "connection.hpp"

#include "body.hpp"
#include "tolbu_sdk/errors.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/url/parse.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <cerrno>
#include <cstring>

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
    : key_(target.key), strand_(asio::make_strand(executor)) {
  if (target.tls)
    tls_ = std::make_unique<asio::ssl::stream<beast::tcp_stream>>(strand_, *tls_context);
  else
    plain_.emplace(strand_);
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

// Notices an exchange that stalls or drags on: one timer for the whole exchange, pushed on by
// each completed read or write, instead of a timer per socket operation (each of which costs
// the loop a timer update on every call). Its handler runs on the connection's strand, as the
// exchange does, so the flags need no lock.
struct Watchdog : std::enable_shared_from_this<Watchdog> {
  using Clock = std::chrono::steady_clock;
  enum class Fired { no, stall, total };
  Watchdog(const asio::any_io_executor& executor, beast::tcp_stream& stream, const Options& options)
      : timer(executor), tcp(&stream), stall(options.stall_timeout), total(options.total_timeout) {}

  void start() {
    last = started = Clock::now();
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
  std::chrono::milliseconds total;
  Clock::time_point started;
  Clock::time_point last;
  bool done = false;
  Fired fired = Fired::no;

 private:
  void arm() {
    timer.expires_at(std::min(last + stall, started + total));
    timer.async_wait([self = shared_from_this()](const beast::error_code& ec) {
      if (ec || self->done) return;
      auto now = Clock::now();
      if (now - self->started >= self->total)
        self->fired = Fired::total;
      else if (now - self->last >= self->stall)
        self->fired = Fired::stall;
      else
        return self->arm();
      beast::error_code ignored;
      self->tcp->socket().cancel(ignored);
    });
  }
};

// Interim answers past the limit.
beast::error_code too_many_interim() {
  return beast::error_code(EPROTO, beast::generic_category());
}

std::string describe(const beast::error_code& ec, Watchdog::Fired fired, const Options& options) {
  if (fired == Watchdog::Fired::total)
    return "Operation timed out: the answer was not complete within " +
           std::to_string(options.total_timeout.count()) + " ms";
  if (fired == Watchdog::Fired::stall)
    return "Operation timed out: no data received for " +
           std::to_string(options.stall_timeout.count()) + " ms";
  if (ec == too_many_interim())
    return "Malformed answer: more than " + std::to_string(kMaxInterimAnswers) +
           " interim (1xx) answers";
  if (ec == bhttp::error::body_limit)
    return "Response larger than " + std::to_string(options.max_response_bytes) + " bytes";
  if (ec == bhttp::error::end_of_stream)
    return "The server closed the connection without answering";
  if (ec == bhttp::error::partial_message)
    return "The connection closed in the middle of the answer";
  if (ec == bhttp::error::bad_status) return "Malformed answer: no valid status code";
  if (ec == bhttp::error::header_limit) return "Malformed answer: header larger than 64 KiB";
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
                                                          const Options& options, bool open_first) {
  // Cancellation shows as operation_aborted from the operation it interrupts, reported like
  // any other failure, instead of an exception of Asio's own from the next await.
  co_await asio::this_coro::throw_if_cancelled(false);
  auto not_sent = [](std::string failure) {
    Outcome out;
    out.opened = false;
    out.failure = std::move(failure);
    return out;
  };
  if (open_first) {
    std::string failure = co_await open(target, options);
    if (!failure.empty()) co_return not_sent(std::move(failure));
  }
  auto cancellation = co_await asio::this_coro::cancellation_state;
  if (cancellation.cancelled() != asio::cancellation_type::none)
    co_return not_sent("Cancelled before the request was sent");
  if (tls_) co_return co_await exchange_on(*tls_, request, target, options);
  co_return co_await exchange_on(*plain_, request, target, options);
}

namespace {

// "HTTP/1.1 200" without the space and reason phrase after the code is a valid status line to
// a client, but not to Beast's parser: the space is added before the parser sees the line.
void complete_status_line(beast::flat_buffer& buffer, bool& checked) {
  std::string_view data(static_cast<const char*>(buffer.data().data()), buffer.size());
  auto eol = data.find("\r\n");
  if (eol == std::string_view::npos) return;
  checked = true;
  if (eol != 12 || data.substr(0, 5) != "HTTP/") return;
  std::string fixed(data.substr(0, 12));
  fixed += ' ';
  fixed.append(data.substr(12));
  buffer.consume(buffer.size());
  auto space = buffer.prepare(fixed.size());
  std::memcpy(space.data(), fixed.data(), fixed.size());
  buffer.commit(fixed.size());
}

}  // namespace

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
  auto watchdog = std::make_shared<Watchdog>(strand_, tcp(), options);
  watchdog->start();
  struct Stop {
    Watchdog& watchdog;
    ~Stop() { watchdog.stop(); }
  } stop{*watchdog};
  auto fail = [&](const beast::error_code& ec) {
    out.error = watchdog->fired != Watchdog::Fired::no ? beast::error::timeout : ec;
    out.failure = describe(ec, watchdog->fired, options);
  };

  std::size_t written = 0;
  while (written < wire.size()) {
    auto [ec, n] = co_await stream.async_write_some(
        asio::buffer(wire.data() + written, wire.size() - written), kTuple);
    written += n;
    watchdog->moved();
    if (ec || watchdog->fired != Watchdog::Fired::no) {
      fail(ec);
      co_return out;
    }
  }

  // Bytes are read here and handed to the parser, rather than by Beast's read, so that every
  // byte that arrives counts as progress (a slow header included).
  std::optional<bhttp::response_parser<PagedStringBody>> parser;
  for (int interim = 0;; ++interim) {
    if (interim > kMaxInterimAnswers) {
      fail(too_many_interim());
      co_return out;
    }
    parser.emplace();
    parser->body_limit(options.max_response_bytes);
    parser->header_limit(64 * 1024);
    if (request.method == "HEAD") parser->skip(true);
    bool line_checked = false;
    while (!parser->is_done()) {
      if (buffer_.size() > 0) {
        if (!line_checked) complete_status_line(buffer_, line_checked);
        beast::error_code ec;
        std::size_t used = parser->put(buffer_.data(), ec);
        buffer_.consume(used);
        if (ec && ec != bhttp::error::need_more) {
          fail(ec);
          co_return out;
        }
        if (parser->is_done()) break;
        // Fed again with the same rest after "need more", the parser's chunk bookkeeping
        // breaks: more bytes first.
        if (!ec && used > 0 && buffer_.size() > 0) continue;
      }
      auto [ec, n] = co_await stream.async_read_some(buffer_.prepare(64 * 1024), kTuple);
      buffer_.commit(n);
      if (n > 0) {
        out.answer_started = true;
        watchdog->moved();
      }
      if (watchdog->fired != Watchdog::Fired::no) {
        fail(ec);
        co_return out;
      }
      if (ec == asio::error::eof) {
        if (!parser->got_some() && buffer_.size() == 0) {
          fail(bhttp::error::end_of_stream);
          co_return out;
        }
        beast::error_code eof_error;
        parser->put_eof(eof_error);
        if (eof_error) {
          fail(eof_error);
          co_return out;
        }
        break;
      }
      if (ec) {
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
  // After a 101 the connection speaks something else.
  out.keep_alive =
      message.keep_alive() && !until_eof && buffer_.size() == 0 && response.status_code != 101;
  out.response = std::move(response);
  co_return out;
}

}  // namespace tolbu_sdk::platform::http::detail
