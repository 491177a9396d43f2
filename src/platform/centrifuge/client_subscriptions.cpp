// Subscriptions: the client's own, with their subscribe and unsubscribe commands and retries,
// and the server-side ones; then the public Subscription functions.

#include <fmt/core.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

#include "client_core.hpp"

namespace tolbu_sdk::platform::centrifuge {

namespace {

constexpr std::uint32_t kAlreadySubscribed = 105;

}  // namespace

// ----- unsubscribe pushes, subscribe results, server-side subscriptions -----------------

void Client::Core::server_unsubscribe(const ConnPtr& c, std::string_view channel,
                                      const json::object& u) {
  auto sub = find_sub(channel);
  if (!sub || sub->state == SubscriptionState::UNSUBSCRIBED) return;
  const auto code = static_cast<std::uint32_t>(uint_at(u, "code"));
  auto reason = string_at(u, "reason");
  if (code >= 2500 && code < 3000) {  // the server asks for a fresh subscription
    log().info("Server resubscribe advice on {}: {} {}", sub->channel, code, reason);
    sub->state = SubscriptionState::SUBSCRIBING;
    sub->resubscribing = true;
    sub->sent_on = 0;
    ++sub->generation;  // the earlier subscribe's reply, if still due, no longer counts
    emit_sub(sub, SubscribingContext{sub->channel, code, reason});
    asio::co_spawn(ex, subscribe_quietly(shared_from_this(), sub, c), asio::detached);
    return;
  }
  log().info("Unsubscribed by the server from {}: {} {}", sub->channel, code, reason);
  sub->state = SubscriptionState::UNSUBSCRIBED;
  ++sub->generation;
  emit_sub(sub, UnsubscribedContext{sub->channel, code, std::move(reason)});
  detach(sub);
}

// An unsubscribed subscription is forgotten: a client that subscribes and unsubscribes
// ever new channels keeps its size. Its handle can still subscribe again.
void Client::Core::detach(const SubCorePtr& sub) {
  if (!sub->attached) return;
  sub->attached = false;
  if (auto it = subs.find(sub->channel); it != subs.end() && it->second == sub) subs.erase(it);
  std::erase(sub_order, sub);
}

void Client::Core::detach_all() {
  auto all = sub_order;
  for (auto& sub : all) {
    if (sub->state == SubscriptionState::UNSUBSCRIBED) detach(sub);
  }
}

// The subscribed event and the publications of a subscribe result, which may carry the
// publications missed since `pos`. Moves `pos` to the end of what it delivers.
std::vector<PublicationContext> Client::Core::take_result(const std::string& channel, Position& pos,
                                                          json::object& result, bool recovering,
                                                          SubscribedContext& ctx) {
  ctx.channel = channel;
  ctx.recoverable = bool_at(result, "recoverable");
  ctx.positioned = bool_at(result, "positioned");
  ctx.offset = uint_at(result, "offset");
  ctx.epoch = string_at(result, "epoch");
  ctx.data = value_at(result, "data");
  ctx.was_recovering = recovering || pos.lost;
  // Recovered only when the stream is the one we were in.
  ctx.recovered = recovering && !pos.lost && bool_at(result, "recovered") &&
                  (pos.epoch.empty() || ctx.epoch == pos.epoch);
  Position next;
  next.recoverable = ctx.recoverable;
  next.epoch = ctx.epoch;
  next.offset = ctx.recovered ? pos.offset : 0;
  std::vector<PublicationContext> out;
  if (auto* pubs = result.if_contains("publications"); pubs && pubs->is_array()) {
    for (auto& p : pubs->get_array()) {
      if (!p.is_object()) continue;
      auto pc = publication(channel, p.get_object());
      if (ctx.recovered && advance(next, *pc.pub) == Step::SEEN) continue;
      next.offset = std::max(next.offset, pc.pub->offset);
      out.push_back(std::move(pc));
    }
  }
  next.offset = std::max(next.offset, ctx.offset);
  ctx.recovered_publications = ctx.recovered ? out.size() : 0;
  pos = std::move(next);
  return out;
}

void Client::Core::server_subscribed(const std::string& channel, json::object& result,
                                     bool recovering) {
  auto& pos = server_subs[channel];
  SubscribedContext ctx;
  auto pubs = take_result(channel, pos, result, recovering, ctx);
  ctx.was_resubscribed = recovering;
  enqueue(ServerEvent{std::move(ctx)});
  // Recovered publications go where the live ones do.
  auto sub = server_side_sub(channel);
  for (auto& pc : pubs) {
    if (sub) {
      emit_sub(sub, std::move(pc));
    } else {
      enqueue(ServerEvent{std::move(pc)});
    }
  }
}

// The connect reply's server-side subscriptions; those it no longer holds have ended.
void Client::Core::apply_server_subs(json::object& result, const std::set<std::string>& asked) {
  std::set<std::string> held;
  if (auto* list = object_at(result, "subs")) {
    for (auto& [name, v] : *list) {
      if (!v.is_object()) continue;
      std::string channel(name);
      const bool recovering = asked.contains(channel) && server_subs[channel].recoverable;
      log().info("Server-side subscription to {}", channel);
      server_subscribed(channel, v.get_object(), recovering);
      held.insert(std::move(channel));
    }
  }
  for (auto it = server_subs.begin(); it != server_subs.end();) {
    if (held.contains(it->first)) {
      ++it;
      continue;
    }
    log().warning("Server-side subscription to {} not renewed by the server", it->first);
    enqueue(ServerEvent{UnsubscribedContext{it->first, 0, "not renewed on connect"}});
    auto sub = server_side_sub(it->first);
    auto pos = it->second;
    it = server_subs.erase(it);
    if (sub) leave_server_side(sub, std::move(pos));
  }
}

// ----- one position per channel ---------------------------------------------------------

// The live client subscription that stands for a server-side one, if any.
SubCorePtr Client::Core::server_side_sub(std::string_view channel) const {
  auto sub = find_sub(channel);
  return sub && sub->server_side && sub->state != SubscriptionState::UNSUBSCRIBED ? sub : nullptr;
}

// A subscription of a channel the server subscribed us to itself: asking again would give
// the channel a second position (the server answers 105 and moves only its own).
void Client::Core::join_server_side(const SubCorePtr& sub) {
  const auto& pos = server_subs.find(sub->channel)->second;
  sub->server_side = true;
  sub->state = SubscriptionState::SUBSCRIBED;
  sub->position = Position{};
  SubscribedContext ctx;
  ctx.channel = sub->channel;
  ctx.recoverable = pos.recoverable;
  ctx.offset = pos.offset;
  ctx.epoch = pos.epoch;
  ctx.was_resubscribed = sub->resubscribing;  // recovery, if any, is the server-side one's
  sub->resubscribing = false;
  log().info("Subscription to {} joins the server-side one", sub->channel);
  emit_sub(sub, std::move(ctx));
}

// The server-side subscription is gone: ours goes on alone, from the same position.
void Client::Core::leave_server_side(const SubCorePtr& sub, Position pos) {
  sub->server_side = false;
  sub->position = std::move(pos);
  if (sub->state == SubscriptionState::SUBSCRIBED) {
    sub->state = SubscriptionState::SUBSCRIBING;
    sub->resubscribing = true;
    sub->sent_on = 0;
    if (state == ClientState::CONNECTED && conn) {
      asio::co_spawn(ex, subscribe_quietly(shared_from_this(), sub, conn), asio::detached);
    }
  }
}

// A publication past a hole in the offsets: those between never arrived. Recover them from
// the last one delivered; should that fail, the subscribed event reports the gap.
void Client::Core::missed(const ConnPtr& c, const SubCorePtr& sub, std::string_view channel,
                          const Position& pos, const Publication& pub) {
  log().warning("Publications {} to {} on {} missed; recovering from offset {}", pos.offset + 1,
                pub.offset - 1, channel, pos.offset);
  if (!sub) {
    // A server-side subscription is renewed only by connecting again, which recovers it.
    drop(c, codes::MISSED_PUBLICATIONS, "missed publications");
    return;
  }
  sub->state = SubscriptionState::SUBSCRIBING;
  sub->resubscribing = true;
  sub->sent_on = 0;
  ++sub->generation;
  emit_sub(sub,
           SubscribingContext{sub->channel, codes::MISSED_PUBLICATIONS, "missed publications"});
  asio::co_spawn(ex, resubscribe(shared_from_this(), sub, c), asio::detached);
}

asio::awaitable<void> Client::Core::resubscribe(std::shared_ptr<Core> self, SubCorePtr sub,
                                                ConnPtr c) {
  const auto gen = sub->generation;
  co_await self->send_unsubscribe(sub, c);
  if (self->shut || c->closed || sub->generation != gen ||
      sub->state != SubscriptionState::SUBSCRIBING) {
    co_return;  // a new connection resubscribes, recovering from the same position
  }
  co_await subscribe_quietly(self, sub, c);
}

// ----- subscribing and unsubscribing ----------------------------------------------------

asio::awaitable<void> Client::Core::subscribe_quietly(std::shared_ptr<Core> self, SubCorePtr sub,
                                                      ConnPtr c) {
  try {
    co_await self->send_subscribe(sub, c);
  } catch (const ReplyError& e) {
    log().error("{}", e.what());
  } catch (...) {
    log().exception(std::current_exception(), "Subscribing {} failed", sub->channel);
  }
}

asio::awaitable<void> Client::Core::send_subscribe(SubCorePtr sub, ConnPtr c) {
  auto self = shared_from_this();
  if (c->closed) co_return;
  if (server_subs.contains(sub->channel)) {
    if (sub->state == SubscriptionState::SUBSCRIBING) join_server_side(sub);
    co_return;
  }
  if (sub->sent_on == c->serial) co_return;
  sub->sent_on = c->serial;
  const auto gen = sub->generation;
  json::object params;
  params["channel"] = sub->channel;
  if (options.positioned) params["positioned"] = true;
  const bool recovering = sub->resubscribing && add_recovery(params, sub->position);
  // Taken as the reply is read: the recovered publications go ahead of the live ones that
  // follow the reply in its frame.
  auto on_reply = [this, sub, gen, recovering](Reply& reply) {
    if (shut || sub->generation != gen || sub->state != SubscriptionState::SUBSCRIBING) return;
    if (reply.outcome == Reply::OK) {
      subscribed(sub, reply.result, recovering);
    } else if (reply.outcome == Reply::ERROR && reply.code == kAlreadySubscribed &&
               server_subs.contains(sub->channel)) {
      // The server made the channel server-side while our subscribe was on its way.
      join_server_side(sub);
    }
  };
  Reply r = co_await call(c, "subscribe", params, on_reply);
  if (shut || sub->generation != gen || sub->state != SubscriptionState::SUBSCRIBING) co_return;
  switch (r.outcome) {
    case Reply::CLOSED:
      sub->sent_on = 0;  // goes out again on the next connection
      co_return;
    case Reply::TIMEOUT:
      sub->sent_on = 0;
      emit_sub(sub, SubscriptionErrorContext{sub->channel, "timeout", 0,
                                             "subscribe reply timed out", true});
      drop(c, codes::COMMAND_TIMEOUT, "subscribe timeout");
      co_return;
    case Reply::ERROR:
      if (r.code == codes::UNRECOVERABLE_POSITION && recovering) {
        // The position is gone for good: subscribe afresh and report the gap.
        log().warning("Position on {} not recoverable: {} {}", sub->channel, r.code, r.message);
        sub->position = Position{};
        sub->position.lost = true;
        sub->sent_on = 0;
        asio::co_spawn(ex, subscribe_quietly(self, sub, c), asio::detached);
        co_return;
      }
      emit_sub(sub,
               SubscriptionErrorContext{sub->channel, "subscribe", r.code, r.message, r.temporary});
      if (r.temporary) {
        sub->sent_on = 0;
        schedule_retry(sub, c);
        co_return;
      }
      sub->state = SubscriptionState::UNSUBSCRIBED;
      ++sub->generation;
      emit_sub(sub, UnsubscribedContext{sub->channel, r.code, r.message});
      detach(sub);
      throw ReplyError(
          fmt::format("Subscribe to {} refused: {} {}", sub->channel, r.code, r.message), r.code,
          r.temporary);
    case Reply::OK:
      break;
  }
}

void Client::Core::subscribed(const SubCorePtr& sub, json::object& result, bool recovering) {
  sub->state = SubscriptionState::SUBSCRIBED;
  SubscribedContext ctx;
  auto pubs = take_result(sub->channel, sub->position, result, recovering, ctx);
  ctx.was_resubscribed = sub->resubscribing;
  sub->resubscribing = false;
  if (ctx.was_recovering && !ctx.recovered) {
    log().warning("Publications on {} missed while away are not recoverable", sub->channel);
  } else if (ctx.recovered && !pubs.empty()) {
    log().info("Recovered {} publications on {}", pubs.size(), sub->channel);
  }
  emit_sub(sub, std::move(ctx));
  for (auto& pc : pubs) emit_sub(sub, std::move(pc));
}

void Client::Core::schedule_retry(const SubCorePtr& sub, const ConnPtr& c) {
  if (!sub->retry) sub->retry = std::make_shared<asio::steady_timer>(ex);
  const auto delay = std::max(options.min_reconnect_delay, milliseconds(10));
  sub->retry->expires_after(delay);
  asio::co_spawn(ex, retry_later(shared_from_this(), sub, c, sub->generation), asio::detached);
}

asio::awaitable<void> Client::Core::retry_later(std::shared_ptr<Core> self, SubCorePtr sub,
                                                ConnPtr c, std::uint64_t gen) {
  boost::system::error_code ec;
  auto timer = sub->retry;
  co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (ec || self->shut || sub->generation != gen || sub->state != SubscriptionState::SUBSCRIBING ||
      c->closed) {
    co_return;
  }
  co_await subscribe_quietly(self, sub, c);
}

asio::awaitable<void> Client::Core::send_unsubscribe(SubCorePtr sub, ConnPtr c) {
  auto self = shared_from_this();
  json::object params;
  params["channel"] = sub->channel;
  Reply r = co_await call(c, "unsubscribe", params);
  if (r.outcome == Reply::TIMEOUT) {
    drop(c, codes::COMMAND_TIMEOUT, "unsubscribe timeout");
  } else if (r.outcome == Reply::ERROR) {
    // The server's view of this channel is now unknown: a fresh connection settles it.
    log().warning("Unsubscribe from {} failed: {} {}", sub->channel, r.code, r.message);
    drop(c, codes::TRANSPORT_CLOSED, "unsubscribe failed");
  }
}

// ---------------------------------------------------------------------------------------
// Subscription

Subscription::Subscription(std::shared_ptr<Client> client, std::shared_ptr<Core> core)
    : client_(std::move(client)), core_(std::move(core)) {}

Subscription::~Subscription() = default;

const std::string& Subscription::channel() const noexcept { return core_->channel; }
SubscriptionState Subscription::state() const noexcept { return core_->state; }

std::optional<StreamPosition> Subscription::position() const {
  const auto* pos = &core_->position;
  if (core_->server_side) {
    auto& subs = core_->client->server_subs;
    if (auto it = subs.find(core_->channel); it != subs.end()) pos = &it->second;
  }
  if (!pos->recoverable) return std::nullopt;
  return StreamPosition{pos->offset, pos->epoch};
}

asio::awaitable<void> Subscription::subscribe() {
  auto keep = client_;
  auto sub = core_;
  auto& cc = *sub->client;
  if (cc.shut) throw RuntimeError("Client is closed");
  if (!sub->attached) {
    // Replaced by a newer subscription of the channel: take the slot back if it is free.
    auto it = cc.subs.find(sub->channel);
    if (it != cc.subs.end() && it->second->state != SubscriptionState::UNSUBSCRIBED) {
      throw RuntimeError(
          fmt::format("Subscription to the channel {} already exists", sub->channel));
    }
    if (it != cc.subs.end()) {
      it->second->attached = false;
      std::erase(cc.sub_order, it->second);
      cc.subs.erase(it);
    }
    sub->attached = true;
    cc.subs.emplace(sub->channel, sub);
    cc.sub_order.push_back(sub);
  }
  if (sub->state != SubscriptionState::UNSUBSCRIBED) co_return;
  sub->state = SubscriptionState::SUBSCRIBING;
  sub->resubscribing = false;
  sub->server_side = false;
  sub->sent_on = 0;
  if (sub->events.on_subscribing) {
    cc.emit_sub(sub, SubscribingContext{sub->channel, 0, "subscribe called"});
  }
  if (cc.state == ClientState::CONNECTED && cc.conn) {
    co_await cc.send_subscribe(sub, cc.conn);
  }
}

asio::awaitable<void> Subscription::unsubscribe() {
  auto keep = client_;
  auto sub = core_;
  auto& cc = *sub->client;
  if (sub->state == SubscriptionState::UNSUBSCRIBED) co_return;
  // A server-side channel stays the server's: we only stop listening.
  const bool told = !sub->server_side && cc.conn && sub->sent_on == cc.conn->serial;
  sub->server_side = false;
  sub->state = SubscriptionState::UNSUBSCRIBED;
  ++sub->generation;
  sub->position = Position{};
  if (sub->retry) sub->retry->cancel();
  cc.emit_sub(sub,
              UnsubscribedContext{sub->channel, codes::UNSUBSCRIBE_CALLED, "unsubscribe called"});
  cc.detach(sub);
  if (cc.state == ClientState::CONNECTED && told) {
    co_await cc.send_unsubscribe(sub, cc.conn);
  }
}

}  // namespace tolbu_sdk::platform::centrifuge
