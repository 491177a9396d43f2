// The client's traffic: the event queue and its handlers, the writer, commands and their
// replies, and the reader with the pushes it takes apart.

#include <fmt/core.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cstring>

#include "client_core.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace tolbu_sdk::platform::centrifuge {

namespace {

constexpr std::size_t kLoggedFrameChars = 200;

std::string excerpt(std::string_view text) {
  if (text.size() <= kLoggedFrameChars) return std::string(text);
  return std::string(text.substr(0, kLoggedFrameChars)) + "...";
}

ClientInfo client_info(const json::object& o) {
  ClientInfo info;
  info.user = string_at(o, "user");
  info.client = string_at(o, "client");
  info.conn_info = value_at(o, "conn_info");
  info.chan_info = value_at(o, "chan_info");
  return info;
}

}  // namespace

// ----- events ---------------------------------------------------------------------------

void Client::Core::enqueue(Event ev) {
  if (shut) return;
  queue.push_back(Queued{std::move(ev), 0});
  if (!dispatching) {
    // Posted, not started here: co_spawn would run the dispatcher inline, once per
    // message. Deferred, it takes every event of the frame being read in one go.
    dispatching = true;
    asio::post(ex, [self = shared_from_this()] {
      asio::co_spawn(self->ex, dispatch(self), asio::detached);
    });
  }
}

template <typename Ctx>
asio::awaitable<void> Client::Core::invoke(const EventHandler<Ctx>& handler, const Ctx& ctx,
                                           const char* name) {
  if (!handler) co_return;
  try {
    co_await handler(ctx);
  } catch (...) {
    log().exception(std::current_exception(), "Error in {} handler", name);
  }
}

asio::awaitable<void> Client::Core::deliver(SubEvent& ev) {
  auto& sub = *ev.sub;
  if (auto* c = std::get_if<SubscribedContext>(&ev.ctx)) {
    co_await invoke(sub.events.on_subscribed, *c, "on_subscribed");
  } else if (auto* c = std::get_if<SubscriptionErrorContext>(&ev.ctx)) {
    co_await invoke(sub.events.on_error, *c, "subscription on_error");
  } else if (auto* c = std::get_if<SubscribingContext>(&ev.ctx)) {
    co_await invoke(sub.events.on_subscribing, *c, "on_subscribing");
  } else if (auto* c = std::get_if<UnsubscribedContext>(&ev.ctx)) {
    co_await invoke(sub.events.on_unsubscribed, *c, "on_unsubscribed");
  } else if (auto* c = std::get_if<JoinContext>(&ev.ctx)) {
    if (sub.state != SubscriptionState::UNSUBSCRIBED)
      co_await invoke(sub.events.on_join, *c, "on_join");
  } else if (auto* c = std::get_if<LeaveContext>(&ev.ctx)) {
    if (sub.state != SubscriptionState::UNSUBSCRIBED)
      co_await invoke(sub.events.on_leave, *c, "on_leave");
  }
}

asio::awaitable<void> Client::Core::deliver(Event& ev) {
  if (auto* c = std::get_if<ConnectedContext>(&ev)) {
    co_await invoke(events.on_connected, *c, "on_connected");
  } else if (auto* c = std::get_if<DisconnectedContext>(&ev)) {
    co_await invoke(events.on_disconnected, *c, "on_disconnected");
  } else if (auto* c = std::get_if<ErrorContext>(&ev)) {
    co_await invoke(events.on_error, *c, "on_error");
  } else if (auto* c = std::get_if<ConnectingContext>(&ev)) {
    co_await invoke(events.on_connecting, *c, "on_connecting");
  } else if (auto* c = std::get_if<MessageContext>(&ev)) {
    co_await invoke(events.on_message, *c, "on_message");
  } else if (auto* s = std::get_if<SubEvent>(&ev)) {
    co_await deliver(*s);
  } else if (auto* e = std::get_if<ServerEvent>(&ev)) {
    if (auto* c = std::get_if<PublicationContext>(&e->ctx)) {
      co_await invoke(events.on_server_publication, *c, "on_server_publication");
    } else if (auto* c = std::get_if<SubscribedContext>(&e->ctx)) {
      co_await invoke(events.on_server_subscribed, *c, "on_server_subscribed");
    } else if (auto* c = std::get_if<UnsubscribedContext>(&e->ctx)) {
      co_await invoke(events.on_server_unsubscribed, *c, "on_server_unsubscribed");
    }
  }
}

// One event after the other, each awaited; ends when the queue is empty.
asio::awaitable<void> Client::Core::dispatch(std::shared_ptr<Core> self) {
  auto& q = self->queue;
  while (!q.empty() && !self->shut) {
    Event ev = std::move(q.front().ev);
    self->queued_bytes -= q.front().bytes;
    q.pop_front();
    if (self->reader_paused && self->caught_up()) self->drained.cancel();
    // Publications are the hot path: no variant walk beyond this test.
    if (auto* s = std::get_if<SubEvent>(&ev)) {
      if (auto* pc = std::get_if<PublicationContext>(&s->ctx)) {
        auto& sub = *s->sub;
        if (sub.state != SubscriptionState::UNSUBSCRIBED && sub.events.on_publication) {
          try {
            co_await sub.events.on_publication(*pc);
          } catch (...) {
            log().exception(std::current_exception(), "Error in on_publication handler for {}",
                            sub.channel);
          }
        }
        continue;
      }
    }
    co_await self->deliver(ev);
  }
  self->dispatching = false;
  if (self->reader_paused) self->drained.cancel();
}

// ----- writing --------------------------------------------------------------------------

void Client::Core::send(const ConnPtr& c, std::string_view text) {
  if (c->closed || c->close_frame) return;
  if (!c->out.empty()) c->out.push_back('\n');
  c->out.append(text);
  start_writer(c);
}

void Client::Core::start_writer(const ConnPtr& c) {
  if (c->write_active || !c->transport) return;
  c->write_active = true;
  asio::co_spawn(ex, write_loop(shared_from_this(), c), asio::detached);
}

// Everything queued goes out as one frame; writes never overlap.
asio::awaitable<void> Client::Core::write_loop(std::shared_ptr<Core> self, ConnPtr c) {
  try {
    while (!c->out.empty() && !c->closed) {
      c->writing.clear();
      std::swap(c->writing, c->out);
      co_await c->transport->write(c->writing);
    }
    if (c->close_frame && !c->closed) {
      auto [code, reason] = *c->close_frame;
      co_await c->transport->close(code, reason);
    }
  } catch (const std::exception& e) {
    log().debug("Write failed: {}", e.what());
    c->set_reason(codes::TRANSPORT_CLOSED, "transport closed");
    c->transport->abort();
  }
  c->write_active = false;
  (void)self;
}

// ----- commands -------------------------------------------------------------------------

asio::awaitable<Reply> Client::Core::call(ConnPtr c, const char* method, const json::object& params,
                                          std::function<void(Reply&)> on_reply,
                                          std::chrono::milliseconds timeout) {
  auto self = shared_from_this();
  auto p = std::make_shared<Pending>(ex);
  const auto id = next_id++;
  p->conn = c->serial;
  p->method = method;
  p->on_reply = std::move(on_reply);
  if (c->closed) co_return Reply{};
  pending.emplace(id, p);
  send(c, fmt::format("{{\"id\":{},\"{}\":{}}}", id, method, json::serialize(params)));
  // A reply is read even while the handlers are behind: the handler that waits for it
  // would otherwise wait for itself.
  if (reader_paused) drained.cancel();
  p->timer.expires_after(timeout.count() > 0 ? timeout : options.timeout);
  boost::system::error_code ec;
  co_await p->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  pending.erase(id);
  if (p->finished) co_return std::move(p->reply);
  Reply r;
  r.outcome = c->closed ? Reply::CLOSED : Reply::TIMEOUT;
  co_return r;
}

void Client::Core::handle_reply(const ConnPtr& c, std::uint64_t id, json::object& o) {
  auto it = pending.find(static_cast<std::uint32_t>(id));
  if (it == pending.end() || it->second->conn != c->serial) {
    log().warning("Reply to unknown command {} ignored", id);
    return;
  }
  auto& p = *it->second;
  if (const auto* err = object_at(o, "error")) {
    p.reply.outcome = Reply::ERROR;
    p.reply.code = static_cast<std::uint32_t>(uint_at(*err, "code"));
    p.reply.message = string_at(*err, "message");
    p.reply.temporary = bool_at(*err, "temporary");
  } else {
    p.reply.outcome = Reply::OK;
    if (auto* res = object_at(o, p.method)) p.reply.result = std::move(*res);
  }
  p.finished = true;
  p.timer.cancel();
  if (p.on_reply) {
    auto apply = std::move(p.on_reply);
    apply(p.reply);
  }
}

// ----- reading --------------------------------------------------------------------------

void Client::Core::handle_frame(const ConnPtr& c, std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    while (p < end && (*p == '\n' || *p == '\r' || *p == ' ' || *p == '\t')) ++p;
    if (p >= end) break;
    // One small arena per message: few allocations, and a payload a handler keeps holds
    // on to its own message only.
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
    const auto length = std::size_t((nl ? nl : end) - p);
    boost::system::error_code ec;
    json::value v =
        platform::parse_json(std::string_view(p, length), ec,
                             json::make_shared_resource<json::monotonic_resource>(
                                 std::clamp<std::size_t>(length + length / 2, 256, 64 * 1024)));
    const std::string_view message(p, length);
    p += length;
    if (ec) {
      log().error("Malformed message skipped ({}): {}", ec.message(), excerpt(message));
      continue;
    }
    const auto before = queue.size();
    handle_message(c, v);
    if (queue.size() > before) {
      queue.back().bytes += length;
      queued_bytes += length;
    }
    if (c->closed) return;
  }
}

void Client::Core::handle_message(const ConnPtr& c, json::value& v) {
  if (!v.is_object()) {
    log().warning("Unexpected message skipped: {}", excerpt(json::serialize(v)));
    return;
  }
  auto& o = v.get_object();
  if (o.empty()) {  // the server's ping
    if (c->pong) send(c, "{}");
    return;
  }
  // Pushes first: publications are nearly all of the traffic.
  if (o.size() == 1) {
    if (auto* push = object_at(o, "push")) {
      handle_push(c, *push);
      return;
    }
  }
  if (const auto id = uint_at(o, "id"); id > 0) {
    handle_reply(c, id, o);
    return;
  }
  if (auto* push = object_at(o, "push")) {
    handle_push(c, *push);
    return;
  }
  log().warning("Unknown message skipped: {}", excerpt(json::serialize(v)));
}

void Client::Core::handle_push(const ConnPtr& c, json::object& push) {
  const auto* chv = push.if_contains("channel");
  std::string_view channel =
      chv && chv->is_string() ? std::string_view(chv->get_string()) : std::string_view();
  if (auto* pubv = push.if_contains("pub")) {
    if (!pubv->is_object()) {
      log().warning("Malformed publication on {} skipped", channel);
      return;
    }
    // A channel has one position, whichever way it was subscribed.
    if (auto it = server_subs.find(channel); it != server_subs.end()) {
      auto ctx = publication(it->first, pubv->get_object());
      switch (advance(it->second, *ctx.pub)) {
        case Step::SEEN:
          log().debug("Publication {} on {} already delivered", ctx.pub->offset, channel);
          return;
        case Step::GAP:
          missed(c, nullptr, it->first, it->second, *ctx.pub);
          return;
        case Step::NEXT:
          break;
      }
      if (auto sub = server_side_sub(channel)) {
        emit_sub(sub, std::move(ctx));
      } else {
        enqueue(ServerEvent{std::move(ctx)});
      }
      return;
    }
    auto sub = find_sub(channel);
    if (sub && sub->state == SubscriptionState::SUBSCRIBING) {
      // Resubscribing: what is missing comes with the subscribe reply.
      log().debug("Publication on {} while resubscribing dropped", channel);
      return;
    }
    if (sub && sub->state == SubscriptionState::SUBSCRIBED) {
      auto ctx = publication(sub->channel, pubv->get_object());
      switch (advance(sub->position, *ctx.pub)) {
        case Step::SEEN:
          log().debug("Publication {} on {} already delivered", ctx.pub->offset, channel);
          return;
        case Step::GAP:
          missed(c, sub, sub->channel, sub->position, *ctx.pub);
          return;
        case Step::NEXT:
          break;
      }
      emit_sub(sub, std::move(ctx));
      return;
    }
    log().debug("Publication on {} without a subscription dropped", channel);
    return;
  }
  if (const auto* join = object_at(push, "join")) {
    if (auto sub = find_sub(channel)) {
      const auto* info = object_at(*join, "info");
      emit_sub(sub, JoinContext{sub->channel, info ? client_info(*info) : ClientInfo{}});
    }
    return;
  }
  if (const auto* leave = object_at(push, "leave")) {
    if (auto sub = find_sub(channel)) {
      const auto* info = object_at(*leave, "info");
      emit_sub(sub, LeaveContext{sub->channel, info ? client_info(*info) : ClientInfo{}});
    }
    return;
  }
  if (const auto* unsub = object_at(push, "unsubscribe")) {
    if (auto sub = server_side_sub(channel)) {
      // The server ends its own subscription: ours carries on from its position, if at all.
      auto it = server_subs.find(channel);
      auto pos = it->second;
      server_subs.erase(it);
      leave_server_side(sub, std::move(pos));
    }
    if (auto sub = find_sub(channel); sub && sub->state != SubscriptionState::UNSUBSCRIBED) {
      server_unsubscribe(c, channel, *unsub);
    } else if (auto it = server_subs.find(channel); it != server_subs.end()) {
      const auto code = static_cast<std::uint32_t>(uint_at(*unsub, "code"));
      auto reason = string_at(*unsub, "reason");
      log().info("Server-side subscription to {} ended: {} {}", channel, code, reason);
      UnsubscribedContext ctx{it->first, code, std::move(reason)};
      server_subs.erase(it);
      enqueue(ServerEvent{std::move(ctx)});
    }
    return;
  }
  if (auto* sub = object_at(push, "subscribe")) {
    std::string name(channel);
    if (name.empty()) return;
    log().info("Server-side subscription to {}", name);
    server_subscribed(name, *sub, false);
    return;
  }
  if (const auto* disc = object_at(push, "disconnect")) {
    const auto code = static_cast<std::uint32_t>(uint_at(*disc, "code"));
    auto reason = string_at(*disc, "reason");
    log().info("Server disconnect: {} {}", code, reason);
    c->set_reason(code, std::move(reason));
    c->transport->abort();
    return;
  }
  if (auto* msg = push.if_contains("message")) {
    json::value data;
    if (msg->is_object()) {
      if (auto* d = msg->get_object().if_contains("data")) data = std::move(*d);
    }
    enqueue(MessageContext{std::move(data)});
    return;
  }
  if (push.contains("connect") || push.contains("refresh")) {
    log().debug("Server-side push ignored on '{}'", channel);
    return;
  }
  log().warning("Unknown push skipped: {}", excerpt(json::serialize(push)));
}

PublicationContext Client::Core::publication(const std::string& channel, json::object& po) {
  PublicationContext ctx;
  ctx.channel = channel;
  auto& pub = ctx.pub.emplace();
  for (auto& [key, v] : po) {  // one pass over the members instead of a lookup each
    if (key == "data") {
      ctx.data = std::move(v);
    } else if (key == "offset") {
      pub.offset = v.is_uint64()                       ? v.get_uint64()
                   : v.is_int64() && v.get_int64() > 0 ? std::uint64_t(v.get_int64())
                                                       : 0;
    } else if (key == "info" && v.is_object()) {
      pub.info = client_info(v.get_object());
    } else if (key == "tags" && v.is_object()) {
      for (const auto& [k, t] : v.get_object()) {
        if (t.is_string()) pub.tags.emplace(std::string(k), std::string(t.get_string()));
      }
    } else if (key == "time") {
      pub.time = v.is_int64() ? v.get_int64() : v.is_uint64() ? std::int64_t(v.get_uint64()) : 0;
    }
  }
  return ctx;
}

asio::awaitable<void> Client::Core::read_loop(std::shared_ptr<Core> self, ConnPtr c) {
  try {
    for (;;) {
      auto text = co_await c->transport->read();
      c->last_received = Clock::now();
      self->handle_frame(c, text);
      if (c->closed) break;
      while (self->backlogged() && !self->shut && !c->closed && !self->awaits_reply(c)) {
        // The handlers are behind: stop reading until they catch up.
        self->reader_paused = true;
        self->drained.expires_at(Clock::time_point::max());
        boost::system::error_code ec;
        co_await self->drained.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        self->reader_paused = false;
        // The server's pings were not read meanwhile: their window starts again.
        c->last_received = Clock::now();
      }
      if (c->closed) break;
    }
  } catch (const boost::system::system_error& e) {
    const auto& peer = c->transport->peer_close();
    if (!peer.refused.empty() && !c->closed && !self->shut) {
      log().error("Message from {} refused: {}", self->address, peer.refused);
      c->refused = true;
      c->set_reason(codes::BAD_PROTOCOL, "message refused: " + peer.refused);
      self->emit_error("protocol", codes::BAD_PROTOCOL, "message refused: " + peer.refused, true);
    } else if (peer.received) {
      c->set_reason(peer.code, peer.reason);
    } else {
      c->set_reason(codes::TRANSPORT_CLOSED, "transport closed: " + e.code().message());
    }
  } catch (const std::exception& e) {
    log().exception(std::current_exception(), "Connection failed");
    c->set_reason(codes::BAD_PROTOCOL, e.what());
  }
  self->finish(c);
}

}  // namespace tolbu_sdk::platform::centrifuge
