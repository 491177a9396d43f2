#pragma once
// A hub session over one kind of WebSocket stream: accepting the upgrade, reading frames,
// writing the queued ones, closing. Included only by session_plain.cpp and session_tls.cpp.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "streaming/hub_state.hpp"

namespace tolbu_sim::streaming {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

template <typename Ws>
class Session final : public SessionBase {
 public:
  Session(StatePtr hub, Ws ws) : SessionBase(std::move(hub)), ws_(std::move(ws)) {}

  static asio::awaitable<void> run(std::shared_ptr<Session> self,
                                   http::request<http::string_body> req) {
    auto& hub = *self->hub_;
    hub.add(self.get());
    try {
      websocket::stream_base::timeout opt{};
      opt.handshake_timeout = std::chrono::seconds(10);
      opt.idle_timeout = websocket::stream_base::none();
      opt.keep_alive_pings = false;
      self->ws_.set_option(opt);
      self->ws_.set_option(websocket::stream_base::decorator(
          [](websocket::response_type& res) { res.set(http::field::server, "tolbu-sim"); }));
      self->ws_.read_message_max(16 * 1024 * 1024);
      co_await self->ws_.async_accept(req, asio::use_awaitable);
      self->ws_.text(true);
      beast::flat_buffer buffer;
      for (;;) {
        buffer.consume(buffer.size());
        co_await self->ws_.async_read(buffer, asio::use_awaitable);
        if (self->dead_) break;
        const auto data = buffer.cdata();
        self->handle_frame(std::string_view(static_cast<const char*>(data.data()), data.size()));
      }
    } catch (const std::exception& e) {
      hub.note("ws session ", self->id, " ended: ", e.what());
    }
    self->finish();
    beast::error_code ec;
    beast::get_lowest_layer(self->ws_).socket().close(ec);
    hub.remove(self.get());
  }

  void abort() noexcept override {
    if (dead_) return;
    dead_ = true;
    beast::error_code ec;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    ping_timer_.cancel();
  }

 private:
  void start_writer() override {
    if (writing_) return;
    writing_ = true;
    asio::co_spawn(hub_->ex, write_loop(std::static_pointer_cast<Session>(shared_from_this())),
                   asio::detached);
  }

  static asio::awaitable<void> write_loop(std::shared_ptr<Session> self) {
    try {
      while (!self->frames_.empty() && !self->dead_) {
        std::string frame = std::move(self->frames_.front());
        self->frames_.pop_front();
        if (self->frames_.empty()) self->last_open_ = false;
        co_await self->ws_.async_write(asio::buffer(frame), asio::use_awaitable);
        self->pending_ = self->pending_ > frame.size() ? self->pending_ - frame.size() : 0;
      }
      if (self->frames_.empty()) self->pending_ = 0;
      if (self->close_ && !self->close_sent_ && !self->dead_) {
        self->close_sent_ = true;
        websocket::close_reason cr(static_cast<websocket::close_code>(self->close_->first),
                                   self->close_->second);
        co_await self->ws_.async_close(cr, asio::use_awaitable);
      }
    } catch (const std::exception&) {
      self->abort();
    }
    self->writing_ = false;
    if (!self->frames_.empty() && !self->dead_) self->start_writer();
  }

  Ws ws_;
};

template <typename Ws>
void start_session(const StatePtr& state, Ws ws, http::request<http::string_body> req) {
  auto s = std::make_shared<Session<Ws>>(state, std::move(ws));
  asio::co_spawn(state->ex, Session<Ws>::run(s, std::move(req)), asio::detached);
}

// Reads a new connection's request: true for a WebSocket upgrade, anything else is answered
// 404 and the connection ends.
template <typename Stream>
asio::awaitable<bool> read_upgrade(Stream& stream, http::request<http::string_body>& req) {
  beast::flat_buffer buffer;
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(10));
  co_await http::async_read(stream, buffer, req, asio::use_awaitable);
  beast::get_lowest_layer(stream).expires_never();
  if (websocket::is_upgrade(req)) co_return true;
  http::response<http::string_body> res{http::status::not_found, req.version()};
  res.set(http::field::content_type, "text/plain");
  res.body() = "WebSocket upgrades only\n";
  res.keep_alive(false);
  res.prepare_payload();
  co_await http::async_write(stream, res, asio::use_awaitable);
  co_return false;
}

// A new connection's stream (past its TLS handshake): its upgrade request, then its session.
template <typename Stream>
asio::awaitable<void> serve_upgrade(const StatePtr& state, Stream& stream) {
  http::request<http::string_body> req;
  if (!co_await read_upgrade(stream, req)) co_return;
  start_session(state, websocket::stream<Stream>(std::move(stream)), std::move(req));
}

}  // namespace tolbu_sim::streaming
