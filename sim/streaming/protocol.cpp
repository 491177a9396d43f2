// The protocol side of a hub session: the client's commands and their replies, the outgoing
// frame queue, server pings and token expiry.

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "streaming/hub_state.hpp"

namespace tolbu_sim::streaming {

namespace {

std::uint64_t uint_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v) return 0;
  if (v->is_uint64()) return v->get_uint64();
  if (v->is_int64() && v->get_int64() > 0) return static_cast<std::uint64_t>(v->get_int64());
  return 0;
}

std::string string_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

}  // namespace

SessionBase::SessionBase(StatePtr hub)
    : hub_(std::move(hub)), ping_timer_(hub_->ex), close_timer_(hub_->ex), expire_timer_(hub_->ex) {
  id = hub_->next_session++;
}

void SessionBase::finish() {
  dead_ = true;
  ping_timer_.cancel();
  close_timer_.cancel();
  expire_timer_.cancel();
}

void SessionBase::push(std::string_view message) {
  if (dead_ || close_) return;
  if (last_open_ && !frames_.empty() && frames_.back().size() < kFrameLimit) {
    frames_.back().push_back('\n');
    frames_.back().append(message);
  } else {
    frames_.emplace_back(message);
    last_open_ = true;
  }
  pending_ += message.size() + 1;
  if (pending_ > hub_->options.max_pending_bytes) {
    // What is queued still goes out (a recovery reply among it), nothing more: the
    // client comes back and recovers from where it got to.
    close_with(3008, "slow");
    return;
  }
  start_writer();
}

void SessionBase::push_frame(std::string frame) {
  if (dead_ || close_) return;
  pending_ += frame.size();
  frames_.push_back(std::move(frame));
  last_open_ = false;
  start_writer();
}

void SessionBase::close_with(std::uint16_t code, std::string reason) {
  if (dead_ || close_) return;
  hub_->note("ws session ", id, " closing: ", code, " ", reason);
  close_.emplace(code, std::move(reason));
  start_writer();
  // A peer that never answers the close frame is cut off.
  close_timer_.expires_after(kCloseGrace);
  close_timer_.async_wait([self = this->shared_from_this()](boost::system::error_code ec) {
    if (!ec) self->abort();
  });
}

asio::awaitable<void> SessionBase::ping_loop(std::shared_ptr<SessionBase> self) {
  for (;;) {
    self->ping_timer_.expires_after(self->hub_->options.ping_interval);
    boost::system::error_code ec;
    co_await self->ping_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (self->dead_ || self->close_) co_return;
    if (!self->hub_->options.pings) continue;
    if (self->ping_outstanding_) {
      self->close_with(3012, "no pong");
      co_return;
    }
    self->push("{}");
    self->ping_outstanding_ = true;
  }
}

void SessionBase::handle_frame(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && !dead_ && !close_) {
    while (p < end && (*p == '\n' || *p == '\r' || *p == ' ' || *p == '\t')) ++p;
    if (p >= end) break;
    parser_.reset();
    boost::system::error_code ec;
    const std::size_t n = parser_.write_some(p, static_cast<std::size_t>(end - p), ec);
    if (ec) {
      hub_->note("ws session ", id, ": malformed command");
      close_with(3501, "bad request");
      return;
    }
    p += n;
    json::value v = parser_.release();
    if (!v.is_object()) {
      close_with(3501, "bad request");
      return;
    }
    handle_command(v.get_object());
  }
}

void SessionBase::reply(std::uint64_t id_, std::string_view method, const json::object& result) {
  if (id_ == 0) return;
  push(R"({"id":)" + std::to_string(id_) + R"(,")" + std::string(method) + R"(":)" +
       json::serialize(result) + "}");
}

// A reply whose result is JSON text already.
void SessionBase::reply_text(std::uint64_t id_, std::string_view method, std::string_view result) {
  if (id_ == 0) return;
  push(R"({"id":)" + std::to_string(id_) + R"(,")" + std::string(method) + R"(":)" +
       std::string(result) + "}");
}

// Closes a connection whose token ran out and was not refreshed in time.
asio::awaitable<void> SessionBase::expire_loop(std::shared_ptr<SessionBase> self) {
  while (!self->dead_ && !self->close_ && self->expiry_) {
    const auto deadline = *self->expiry_ + kExpiryGrace;
    if (Clock::now() >= deadline) {
      self->hub_->note("ws session ", self->id, ": token expired");
      self->close_with(kDisconnectExpired, "expired");
      co_return;
    }
    self->expire_timer_.expires_at(deadline);
    boost::system::error_code ec;
    co_await self->expire_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

// The "expires" and "ttl" of a connect or refresh reply.
void SessionBase::add_expiry(json::object& result) const {
  if (!expiry_) return;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*expiry_ - Clock::now());
  result["expires"] = true;
  result["ttl"] = std::max<std::int64_t>(1, (left.count() + 999) / 1000);
}

void SessionBase::reply_error(std::uint64_t id_, std::uint32_t code, std::string_view message) {
  if (id_ == 0) return;
  push(R"({"id":)" + std::to_string(id_) + R"(,"error":{"code":)" + std::to_string(code) +
       R"(,"message":)" + quoted(message) + "}}");
}

void SessionBase::handle_command(json::object& cmd) {
  if (cmd.empty()) {  // the client's pong
    ping_outstanding_ = false;
    ++hub_->pongs;
    return;
  }
  if (!hub_->options.replies) return;
  const auto cid = uint_at(cmd, "id");
  auto* connect = cmd.if_contains("connect");
  if (connect) {
    handle_connect(cid, connect->is_object() ? connect->get_object() : json::object{});
    return;
  }
  if (!connected) {
    close_with(3501, "bad request");
    return;
  }
  auto& hub = *hub_;
  if (auto* sub = cmd.if_contains("subscribe"); sub && sub->is_object()) {
    const auto channel = string_at(sub->get_object(), "channel");
    if (channel.empty()) return reply_error(cid, 107, "bad request");
    if (hub.denied(channel)) return reply_error(cid, 103, "permission denied");
    if (channels.contains(channel)) return reply_error(cid, 105, "already subscribed");
    auto& late = hub.options.late_server_subs;
    if (auto it = std::find(late.begin(), late.end(), channel); it != late.end()) {
      late.erase(it);  // once: afterwards the channel is an ordinary one
      hub.join(this, channel);
      push(R"({"push":{"channel":)" + quoted(channel) + R"(,"subscribe":)" +
           hub.subscribe_result(channel, nullptr) + "}}");
      return reply_error(cid, 105, "already subscribed");
    }
    hub.join(this, channel);
    return reply_text(cid, "subscribe", hub.subscribe_result(channel, &sub->get_object()));
  }
  if (auto* refresh = cmd.if_contains("refresh"); refresh && refresh->is_object()) {
    std::optional<Clock::time_point> expiry;
    switch (hub.check_token(string_at(refresh->get_object(), "token"), expiry)) {
      case Hub::State::TokenCheck::INVALID:
        return close_with(3500, "invalid token");
      case Hub::State::TokenCheck::EXPIRED:
        return reply_error(cid, kTokenExpired, "token expired");
      case Hub::State::TokenCheck::OK:
        break;
    }
    ++hub.refreshes;
    expiry_ = expiry;
    expire_timer_.cancel();  // the loop takes the new expiry
    json::object result;
    add_expiry(result);
    return reply(cid, "refresh", result);
  }
  if (auto* unsub = cmd.if_contains("unsubscribe"); unsub && unsub->is_object()) {
    hub.leave(this, string_at(unsub->get_object(), "channel"));
    return reply(cid, "unsubscribe", json::object{});
  }
  if (auto* pub = cmd.if_contains("publish"); pub && pub->is_object()) {
    const auto channel = string_at(pub->get_object(), "channel");
    if (channel.empty()) return reply_error(cid, 107, "bad request");
    if (hub.denied(channel)) return reply_error(cid, 103, "permission denied");
    const auto* data = pub->get_object().if_contains("data");
    hub.publish(channel, data ? json::serialize(*data) : "null");
    return reply(cid, "publish", json::object{});
  }
  if (auto* rpc = cmd.if_contains("rpc"); rpc && rpc->is_object() && hub.rpc) {
    const auto& req = rpc->get_object();
    const auto* data = req.if_contains("data");
    RpcError error;
    auto result = hub.rpc(string_at(req, "method"), data ? *data : json::value(), error);
    if (error.code != 0) return reply_error(cid, error.code, error.message);
    return reply_text(cid, "rpc", R"({"data":)" + result + "}");
  }
  if (cmd.contains("ping")) return reply(cid, "ping", json::object{});
  if (cmd.contains("send")) return;  // asynchronous message: nobody listens here
  reply_error(cid, 104, "method not found");
}

void SessionBase::handle_connect(std::uint64_t cid, const json::object& req) {
  auto& hub = *hub_;
  if (connected) {
    close_with(3501, "bad request");
    return;
  }
  std::optional<Clock::time_point> expiry;
  switch (hub.check_token(string_at(req, "token"), expiry)) {
    case Hub::State::TokenCheck::INVALID:
      hub.note("ws session ", id, ": invalid token");
      close_with(3500, "invalid token");
      return;
    case Hub::State::TokenCheck::EXPIRED:
      hub.note("ws session ", id, ": token expired");
      reply_error(cid, kTokenExpired, "token expired");
      return;
    case Hub::State::TokenCheck::OK:
      break;
  }
  expiry_ = expiry;
  connected = true;
  ++hub.connects;
  name = string_at(req, "name");
  if (auto v = string_at(req, "version"); !v.empty()) name += " " + v;
  const auto ping_ms = hub.options.ping_interval.count();
  const auto ping_s = std::max<std::int64_t>(1, (ping_ms + 999) / 1000);
  json::object result{{"client", hub.client_id()},
                      {"version", "tolbu-sim 0.1.0"},
                      {"ping", ping_s},
                      {"pong", true}};
  add_expiry(result);
  // Server-side subscriptions, recovered from the positions the client names.
  std::string subs;
  const auto* asked = req.if_contains("subs");
  for (const auto& channel : hub.options.server_subs) {
    if (channels.contains(channel)) continue;
    hub.join(this, channel);
    const json::value* one =
        asked && asked->is_object() ? asked->get_object().if_contains(channel) : nullptr;
    subs += subs.empty() ? "{" : ",";
    subs += quoted(channel) + ":" +
            hub.subscribe_result(channel, one && one->is_object() ? &one->get_object() : nullptr);
  }
  std::string text = json::serialize(result);
  if (!subs.empty()) {
    text.pop_back();
    text += R"(,"subs":)" + subs + "}}";
  }
  reply_text(cid, "connect", text);
  hub.note("ws session ", id, " connected: ", name);
  asio::co_spawn(hub.ex, ping_loop(this->shared_from_this()), asio::detached);
  if (expiry_) asio::co_spawn(hub.ex, expire_loop(this->shared_from_this()), asio::detached);
}

}  // namespace tolbu_sim::streaming
