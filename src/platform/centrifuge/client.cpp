// The client and the connection's life behind it: connecting with backoff, the connect
// command, token refresh, the server's pings, the end of a connection, shutting down; then
// the public Client functions. The client's state is in client_core.hpp, its traffic in
// client_dispatch.cpp, its subscriptions in client_subscriptions.cpp, the WebSocket layer in
// transport.cpp.

#include <fmt/core.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

#include "client_core.hpp"

namespace tolbu_sdk::platform::centrifuge {

// ----- ending connections, pings --------------------------------------------------------

// The connection has ended: fail its commands, wake its waiters.
void Client::Core::finish(const ConnPtr& c) {
  if (c->closed) return;
  c->closed = true;
  if (c->transport) c->transport->abort();
  for (auto& [id, p] : pending) {
    if (p->conn == c->serial) p->timer.cancel();
  }
  if (c->ping_timer) c->ping_timer->cancel();
  if (c->refresh_timer) c->refresh_timer->cancel();
  for (auto& w : c->waiters) w->cancel();
  if (conn == c) conn.reset();
}

// Drops a connection that is no longer healthy; the connect loop decides what follows.
void Client::Core::drop(const ConnPtr& c, std::uint32_t code, std::string reason) {
  if (c->closed) return;
  log().warning("Closing the connection: {} ({})", reason, code);
  c->set_reason(code, std::move(reason));
  if (c->transport) c->transport->abort();
}

asio::awaitable<void> Client::Core::watch_pings(std::shared_ptr<Core> self, ConnPtr c) {
  const auto window = std::chrono::seconds(c->ping_seconds) + self->options.max_server_ping_delay;
  auto timer = c->ping_timer;
  while (!c->closed) {
    auto due = c->last_received + window;
    // Not reading on purpose: an unread ping is not a missing one.
    if (self->reader_paused) due = std::max(due, Clock::now() + window);
    if (Clock::now() >= due) {
      self->drop(c, codes::NO_PING, "no ping");
      break;
    }
    timer->expires_at(due);
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

asio::awaitable<void> Client::Core::wait_done(ConnPtr c, std::optional<milliseconds> limit) {
  if (c->closed) co_return;
  auto t = std::make_shared<asio::steady_timer>(c->ex);
  t->expires_at(limit ? Clock::now() + *limit : Clock::time_point::max());
  c->waiters.push_back(t);
  boost::system::error_code ec;
  co_await t->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  std::erase(c->waiters, t);
}

// ----- connecting -----------------------------------------------------------------------

milliseconds Client::Core::next_delay() {
  const auto min = std::max<std::int64_t>(1, options.min_reconnect_delay.count());
  const auto max = std::max<std::int64_t>(min, options.max_reconnect_delay.count());
  const unsigned shift = std::min(attempts, 20u);
  const std::int64_t base = std::min<std::int64_t>(max, min << shift);
  ++attempts;
  std::uniform_int_distribution<std::int64_t> jitter(base / 2, base);
  return milliseconds(jitter(rng));
}

asio::awaitable<void> Client::Core::run(std::shared_ptr<Core> self, std::uint64_t serial) {
  auto alive = [&] {
    return !self->shut && self->state != ClientState::DISCONNECTED && self->run_serial == serial;
  };
  while (alive()) {
    try {
      co_await self->attempt(serial);
    } catch (...) {
      log().exception(std::current_exception(), "Connection attempt failed");
    }
    if (!alive()) break;
    const auto delay = self->next_delay();
    log().info("Reconnecting to {} in {} ms (attempt {})", self->address, delay.count(),
               self->attempts);
    self->backoff.expires_after(delay);
    boost::system::error_code ec;
    co_await self->backoff.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

// Terminal end of connecting: the server refused us and we must not come back.
void Client::Core::give_up(std::uint32_t code, std::string reason) {
  state = ClientState::DISCONNECTED;
  ++run_serial;
  for (auto& sub : sub_order) {
    if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
    sub->state = SubscriptionState::UNSUBSCRIBED;
    ++sub->generation;
    emit_sub(sub, UnsubscribedContext{sub->channel, code, reason});
  }
  detach_all();
  for (const auto& [channel, pos] : server_subs) {
    enqueue(ServerEvent{UnsubscribedContext{channel, code, reason}});
  }
  server_subs.clear();
  enqueue(DisconnectedContext{code, std::move(reason), false});
  wake_ready_waiters();
}

// Refreshes ahead of the expiry: half the lifetime when it is short, 5 s before otherwise.
milliseconds Client::Core::refresh_delay(std::uint32_t ttl_seconds) {
  const auto ttl = milliseconds(std::int64_t(ttl_seconds) * 1000);
  const auto delay = ttl > std::chrono::seconds(10) ? ttl - std::chrono::seconds(5) : ttl / 2;
  return std::max(delay, milliseconds(100));
}

// A retry of a failed refresh, well before the token runs out.
milliseconds Client::Core::retry_delay(Clock::time_point expiry) {
  const auto left = std::chrono::duration_cast<milliseconds>(expiry - Clock::now());
  return std::clamp(left / 4, milliseconds(100), milliseconds(5000));
}

asio::awaitable<void> Client::Core::refresh_loop(std::shared_ptr<Core> self, ConnPtr c,
                                                 std::uint32_t ttl) {
  auto timer = c->refresh_timer;
  auto delay = refresh_delay(ttl);
  auto expiry = Clock::now() + std::chrono::seconds(ttl);
  while (!c->closed && !self->shut) {
    timer->expires_after(delay);
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (c->closed || self->shut) co_return;
    json::object params;
    try {
      params["token"] = self->current_token();
    } catch (const std::exception& e) {
      log().error("Token for the refresh not available: {}", e.what());
      self->emit_error("refresh", 0, e.what(), true);
      delay = retry_delay(expiry);
      continue;
    }
    Reply r = co_await self->call(c, "refresh", params);
    if (c->closed || self->shut) co_return;
    if (r.outcome == Reply::OK) {
      if (!bool_at(r.result, "expires")) co_return;
      ttl = static_cast<std::uint32_t>(uint_at(r.result, "ttl"));
      log().debug("Connection token refreshed; {} s left", ttl);
      delay = refresh_delay(ttl);
      expiry = Clock::now() + std::chrono::seconds(ttl);
      continue;
    }
    if (r.outcome == Reply::TIMEOUT) {
      self->emit_error("timeout", 0, "refresh reply timed out", true);
      self->drop(c, codes::COMMAND_TIMEOUT, "refresh timeout");
      co_return;
    }
    if (r.outcome == Reply::ERROR && r.temporary) {
      log().warning("Token refresh refused for now: {} {}", r.code, r.message);
      self->emit_error("refresh", r.code, r.message, true);
      delay = retry_delay(expiry);
      continue;
    }
    if (r.outcome == Reply::ERROR) {
      // "token expired" and the like: a new connection with the token the
      // application holds then, rather than a stream that ends at the expiry.
      log().warning("Token refresh refused: {} {}; reconnecting", r.code, r.message);
      self->emit_error("refresh", r.code, r.message, false);
      self->drop(c, r.code, r.message);
    }
    co_return;
  }
}

void Client::Core::connected(const ConnPtr& c, const json::object& result) {
  c->ping_seconds = static_cast<std::uint32_t>(uint_at(result, "ping"));
  c->pong = bool_at(result, "pong");
  state = ClientState::CONNECTED;
  c->attempts_before = attempts;
  attempts = 0;
  ConnectedContext ctx;
  ctx.client = string_at(result, "client");
  ctx.version = string_at(result, "version");
  ctx.data = value_at(result, "data");
  ctx.expires = bool_at(result, "expires");
  ctx.ttl = static_cast<std::uint32_t>(uint_at(result, "ttl"));
  log().info("Connected to {} (client {}, ping {} s{})", address, ctx.client, c->ping_seconds,
             ctx.expires ? fmt::format(", token expires in {} s", ctx.ttl) : "");
  if (ctx.expires) {
    c->refresh_timer = std::make_shared<asio::steady_timer>(ex);
    asio::co_spawn(ex, refresh_loop(shared_from_this(), c, ctx.ttl), asio::detached);
  }
  enqueue(std::move(ctx));
  wake_ready_waiters();
}

asio::awaitable<void> Client::Core::attempt(std::uint64_t serial) {
  auto self = shared_from_this();
  // Before anything else: a failing token source is a failed attempt, retried later.
  std::string token;
  try {
    token = current_token();
  } catch (const std::exception& e) {
    log().error("Token for connecting to {} not available: {}", address, e.what());
    emit_error("token", 0, e.what(), true);
    co_return;
  }
  auto c = std::make_shared<Conn>(ex);
  c->serial = ++conn_serial;
  conn = c;
  // Named arguments: g++ 12 mishandles temporaries inside a co_await expression.
  const detail::TlsOptions tls{options.tls_verify, options.tls_ca_pem};
  std::string user_agent = options.name + "/" + options.version;
  try {
    c->transport = co_await detail::open_transport(endpoint, options.headers, tls, options.timeout,
                                                   std::move(user_agent));
  } catch (const std::exception& e) {
    c->closed = true;
    if (conn == c) conn.reset();
    if (shut || run_serial != serial) co_return;
    log().warning("Connection to {} failed: {}", address, e.what());
    emit_error("transport", 0, e.what(), true);
    co_return;
  }
  if (shut || run_serial != serial || conn != c) {
    c->closed = true;
    c->transport->abort();
    co_return;
  }
  c->transport->set_max_message(options.max_message_bytes);
  c->last_received = Clock::now();
  asio::co_spawn(ex, read_loop(self, c), asio::detached);

  json::object params;
  if (!token.empty()) params["token"] = token;
  params["name"] = options.name;
  params["version"] = options.version;
  std::set<std::string> asked;
  if (!server_subs.empty()) {
    json::object subs_params;
    for (const auto& [channel, pos] : server_subs) {
      json::object one;
      add_recovery(one, pos);
      subs_params[channel] = std::move(one);
      asked.insert(channel);
    }
    params["subs"] = std::move(subs_params);
  }
  // Taken as the reply is read: server-side publications may follow it in its frame.
  auto on_reply = [this, serial, asked, c](Reply& reply) {
    if (shut || run_serial != serial || reply.outcome != Reply::OK) return;
    connected(c, reply.result);
    apply_server_subs(reply.result, asked);
  };
  Reply r = co_await call(c, "connect", params, on_reply);
  if (shut || run_serial != serial) co_return;

  if (r.outcome == Reply::TIMEOUT) {
    emit_error("timeout", 0, "connect reply timed out", true);
    drop(c, codes::COMMAND_TIMEOUT, "connect timeout");
    co_await wait_done(c, std::nullopt);
    co_return;
  }
  if (r.outcome == Reply::CLOSED) {
    co_await wait_done(c, std::nullopt);
    if (shut || run_serial != serial) co_return;
    const auto code = c->reason.code;
    if (is_terminal_disconnect(code)) {
      log().error("Connection refused by the server: {} {}", code, c->reason.reason);
      emit_error("connect", code, c->reason.reason, false);
      give_up(code, c->reason.reason);
    } else {
      log().warning("Connection closed during the handshake: {} {}", code, c->reason.reason);
      emit_error("transport", code, c->reason.reason, true);
    }
    co_return;
  }
  if (r.outcome == Reply::ERROR) {
    if (r.temporary || r.code == codes::TOKEN_EXPIRED) {
      log().warning("Connect refused for now: {} {}", r.code, r.message);
      emit_error("connect", r.code, r.message, true);
      drop(c, codes::TRANSPORT_CLOSED, "temporary connect error");
      co_await wait_done(c, std::nullopt);
      co_return;
    }
    log().error("Connect refused: {} {}", r.code, r.message);
    emit_error("connect", r.code, r.message, false);
    c->set_reason(r.code, r.message);
    c->close_frame.emplace(static_cast<std::uint16_t>(1000), "connect refused");
    start_writer(c);
    give_up(r.code, r.message);
    co_await wait_done(c, options.timeout);
    finish(c);
    co_return;
  }

  // Connected: the reply has been taken by connected().
  if (c->ping_seconds > 0) {
    c->ping_timer = std::make_shared<asio::steady_timer>(ex);
    asio::co_spawn(ex, watch_pings(self, c), asio::detached);
  }
  for (auto& sub : sub_order) {
    if (sub->state == SubscriptionState::SUBSCRIBING) {
      asio::co_spawn(ex, subscribe_quietly(self, sub, c), asio::detached);
    }
  }

  co_await wait_done(c, std::nullopt);
  if (shut || run_serial != serial || state == ClientState::DISCONNECTED) co_return;

  // Lost: come back unless the server said not to.
  const auto code = c->reason.code;
  const bool terminal = is_terminal_disconnect(code);
  log().info("Disconnected from {}: {} {}{}", address, code, c->reason.reason,
             terminal ? "" : "; reconnecting");
  if (terminal) {
    give_up(code, c->reason.reason);
    co_return;
  }
  state = ClientState::CONNECTING;
  // A connection that ended on a message we refused would get it again at once (a
  // recovery repeats it): back off as after a failed attempt.
  if (c->refused) attempts = c->attempts_before;
  for (auto& sub : sub_order) {
    if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
    sub->state = SubscriptionState::SUBSCRIBING;
    sub->resubscribing = true;
    sub->sent_on = 0;
    emit_sub(sub, SubscribingContext{sub->channel, code, c->reason.reason});
  }
  enqueue(DisconnectedContext{code, c->reason.reason, true});
  enqueue(ConnectingContext{code, c->reason.reason});
}

// ----- shutting down --------------------------------------------------------------------

asio::awaitable<void> Client::Core::disconnect() {
  auto self = shared_from_this();
  const bool was = state != ClientState::DISCONNECTED;
  state = ClientState::DISCONNECTED;
  ++run_serial;
  backoff.cancel();
  wake_ready_waiters();
  for (auto& sub : sub_order) {
    if (sub->state == SubscriptionState::UNSUBSCRIBED) continue;
    sub->state = SubscriptionState::UNSUBSCRIBED;
    ++sub->generation;
    if (sub->retry) sub->retry->cancel();
    emit_sub(sub,
             UnsubscribedContext{sub->channel, codes::DISCONNECT_CALLED, "client disconnected"});
  }
  detach_all();
  server_subs.clear();
  auto c = conn;
  conn.reset();
  if (c && !c->closed && c->transport) {
    c->set_reason(codes::DISCONNECT_CALLED, "disconnect called");
    c->close_frame.emplace(static_cast<std::uint16_t>(1000), "disconnect called");
    start_writer(c);
    co_await wait_done(c, options.timeout);
    finish(c);
  }
  if (was) {
    log().info("Disconnected from {} by the client", address);
    enqueue(DisconnectedContext{codes::DISCONNECT_CALLED, "disconnect called", false});
  }
}

void Client::Core::shutdown() noexcept {
  shut = true;
  state = ClientState::DISCONNECTED;
  ++run_serial;
  queue.clear();
  queued_bytes = 0;
  boost::system::error_code ec;
  backoff.cancel();
  drained.cancel();
  wake_ready_waiters();
  for (auto& sub : sub_order) {
    sub->state = SubscriptionState::UNSUBSCRIBED;
    ++sub->generation;
    if (sub->retry) sub->retry->cancel();
  }
  if (conn) {
    auto c = conn;
    c->set_reason(codes::CLIENT_CLOSED, "client closed");
    finish(c);
  }
}

// ---------------------------------------------------------------------------------------
// Client

Client::Client(Tag, std::shared_ptr<Core> core) : core_(std::move(core)) {}

std::shared_ptr<Client> Client::create(asio::any_io_executor executor, std::string address,
                                       ClientEventHandler events, ClientOptions options) {
  auto endpoint = detail::parse_address(address);
  auto core = std::make_shared<Core>(std::move(executor), std::move(address), std::move(endpoint),
                                     std::move(events), std::move(options));
  return std::make_shared<Client>(Tag{}, std::move(core));
}

Client::~Client() { core_->shutdown(); }

asio::awaitable<void> Client::connect() {
  auto& core = *core_;
  if (core.shut) throw RuntimeError("Client is closed");
  if (core.state != ClientState::DISCONNECTED) co_return;
  core.state = ClientState::CONNECTING;
  core.attempts = 0;
  const auto serial = ++core.run_serial;
  log().info("Connecting to {}", core.address);
  core.enqueue(ConnectingContext{codes::CONNECT_CALLED, "connect called"});
  asio::co_spawn(core.ex, Core::run(core_, serial), asio::detached);
  co_return;
}

asio::awaitable<void> Client::disconnect() { co_await core_->disconnect(); }

asio::awaitable<void> Client::ready(milliseconds timeout) {
  auto core = core_;
  if (core->state == ClientState::CONNECTED) co_return;
  if (core->state == ClientState::DISCONNECTED) throw RuntimeError("Client is disconnected");
  auto timer = std::make_shared<asio::steady_timer>(core->ex);
  timer->expires_after(timeout);
  core->ready_waiters.push_back(timer);
  boost::system::error_code ec;
  co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  std::erase(core->ready_waiters, timer);
  if (core->state == ClientState::CONNECTED) co_return;
  if (core->state == ClientState::DISCONNECTED) throw RuntimeError("Client is disconnected");
  throw TimeoutError(
      fmt::format("Not connected to {} within {} ms", core->address, timeout.count()));
}

asio::awaitable<json::value> Client::rpc(std::string method, json::value data,
                                         milliseconds timeout) {
  auto core = core_;
  auto c = core->conn;
  if (core->state != ClientState::CONNECTED || !c || c->closed)
    throw RuntimeError("rpc " + method + ": not connected to " + core->address);
  const json::object params{{"method", method}, {"data", std::move(data)}};
  Reply r = co_await core->call(c, "rpc", params, {}, timeout);
  switch (r.outcome) {
    case Reply::OK:
      if (auto* d = r.result.if_contains("data")) co_return std::move(*d);
      co_return json::value(nullptr);
    case Reply::ERROR:
      throw ReplyError(fmt::format("rpc {}: {} ({})", method, r.message, r.code), r.code,
                       r.temporary);
    case Reply::TIMEOUT:
      throw TimeoutError(fmt::format("rpc {}: no reply within {} ms", method, timeout.count()));
    case Reply::CLOSED:
      break;
  }
  throw RuntimeError("rpc " + method + ": the connection closed before the reply");
}

ClientState Client::state() const noexcept { return core_->state; }

bool Client::has_server_subscription(std::string_view channel) const {
  return core_->server_subs.find(channel) != core_->server_subs.end();
}

std::size_t Client::subscription_count() const noexcept { return core_->subs.size(); }
std::size_t Client::queued_bytes() const noexcept { return core_->queued_bytes; }
const std::string& Client::address() const noexcept { return core_->address; }
const ClientOptions& Client::options() const noexcept { return core_->options; }

std::shared_ptr<Subscription> Client::new_subscription(std::string channel,
                                                       SubscriptionEventHandler events) {
  if (channel.empty()) throw ValueError("Channel name must not be empty");
  auto& core = *core_;
  if (auto it = core.subs.find(channel); it != core.subs.end()) {
    if (it->second->state != SubscriptionState::UNSUBSCRIBED) {
      throw RuntimeError(fmt::format("Subscription to the channel {} already exists", channel));
    }
    it->second->attached = false;
    std::erase(core.sub_order, it->second);
    core.subs.erase(it);
  }
  auto sub = std::make_shared<Subscription::Core>();
  sub->channel = channel;
  sub->events = std::move(events);
  sub->client = core_.get();
  core.subs.emplace(std::move(channel), sub);
  core.sub_order.push_back(sub);
  return std::shared_ptr<Subscription>(new Subscription(shared_from_this(), std::move(sub)));
}

std::shared_ptr<Subscription> Client::get_subscription(std::string_view channel) const {
  auto sub = core_->find_sub(channel);
  if (!sub) return nullptr;
  auto self = std::const_pointer_cast<Client>(shared_from_this());
  return std::shared_ptr<Subscription>(new Subscription(std::move(self), std::move(sub)));
}

}  // namespace tolbu_sdk::platform::centrifuge
