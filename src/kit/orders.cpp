#include "tolbu_sdk/kit/orders.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/kit/order_rules.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::kit {

namespace asio = boost::asio;
namespace logging = platform::logging;
using types::OrderData;

namespace {

logging::Logger& logger() {
  static logging::Logger& log = logging::get_logger("tolbu_sdk.kit.orders");
  return log;
}

std::string random_prefix() {
  std::random_device random;
  return fmt::format("kit-{:08x}{:08x}", random(), random());
}

// The back end's status texts; anything else is an order still working.
OrderStatus status_from(const std::string& text) {
  if (text == "FILLED") return OrderStatus::FILLED;
  if (text == "CANCELLED" || text == "CANCELED" || text == "EXPIRED") return OrderStatus::CANCELLED;
  if (text == "REJECTED") return OrderStatus::REJECTED;
  return OrderStatus::WORKING;
}

}  // namespace

const char* to_string(OrderStatus status) noexcept {
  switch (status) {
    case OrderStatus::SENDING: return "SENDING";
    case OrderStatus::UNCERTAIN: return "UNCERTAIN";
    case OrderStatus::WORKING: return "WORKING";
    case OrderStatus::FILLED: return "FILLED";
    case OrderStatus::CANCELLED: return "CANCELLED";
    case OrderStatus::REJECTED: return "REJECTED";
    case OrderStatus::NOT_PLACED: return "NOT_PLACED";
  }
  return "?";
}

struct OrderManager::State {
  asio::any_io_executor executor;
  features::OrderService* service;
  std::string account_id;
  Portfolio* portfolio;
  std::string prefix;
  std::function<void(const OrderEvent&)> handler;
  FillTracker tracker;
  std::size_t in_flight = 0;
  std::vector<asio::steady_timer*> settle_waiters;  // woken when in_flight comes to 0
  std::int64_t count = 0;
  std::set<std::string> cancelling;  // refs with a cancel in flight: one request each

  mutable std::mutex mutex;  // the queries come from other threads
  std::vector<KitOrder> orders;
  std::map<std::string, std::size_t> by_ref;
  std::set<std::string> uncertain_refs;  // orders whose answer was lost, until settled
  // The price each order was sent against, by reference id: a fill's slippage is measured
  // from it.
  std::map<std::string, double> reference_prices;

  State(asio::any_io_executor ex, features::OrderService& s, std::string account, Portfolio& p,
        CostModel costs, std::string ref_prefix)
      : executor(std::move(ex)),
        service(&s),
        account_id(std::move(account)),
        portfolio(&p),
        prefix(ref_prefix.empty() ? random_prefix() : std::move(ref_prefix)),
        tracker(costs) {}

  void one_done() {
    if (--in_flight > 0) return;
    for (auto* waiter : settle_waiters) waiter->cancel();
  }

  void emit(const std::vector<OrderEvent>& events) {
    if (!handler) return;
    for (const auto& event : events) {
      try {
        handler(event);
      } catch (const std::exception& e) {
        logger().error("Order event handler failed on {}: {}", event.order.ref, e.what());
      }
    }
  }

  KitOrder* locate(const OrderData& data) {
    auto it = by_ref.find(data.ref_order_id);
    if (it != by_ref.end()) return &orders[it->second];
    for (auto& order : orders) {
      if (!order.order_id.empty() && order.order_id == data.order_id) return &order;
    }
    return nullptr;
  }

  // The one place where an order's fate changes: answers, reports and look-ups all land here.
  void apply(const OrderData& data, std::optional<double> fee) {
    std::vector<OrderEvent> events;
    {
      std::lock_guard lock(mutex);
      KitOrder* order = locate(data);
      if (!order) return;  // not ours
      if (order->order_id.empty()) order->order_id = data.order_id;
      const OrderStatus before = order->status;
      const OrderStatus now = status_from(data.status);
      if ((before == OrderStatus::SENDING || before == OrderStatus::UNCERTAIN ||
           before == OrderStatus::NOT_PLACED) &&
          now != OrderStatus::REJECTED) {
        if (before == OrderStatus::NOT_PLACED) {
          logger().warning("Order {} reached the back end after all, as {}", order->ref,
                           data.order_id);
        }
        change(*order, OrderStatus::WORKING);
        events.push_back({OrderEvent::Kind::ACCEPTED, *order});
      }
      std::optional<Fill> fill;
      try {
        fill = tracker.apply(ExecutionReport{data, fee});
      } catch (const std::exception& e) {
        logger().error("Order {}: {}", order->ref, e.what());
      }
      if (fill) {
        const auto reference = reference_prices.find(order->ref);
        if (reference != reference_prices.end() && reference->second > 0) {
          fill->reference_price = reference->second;
          fill->slippage = static_cast<double>(sign(fill->side)) *
                           (fill->price - reference->second) * static_cast<double>(fill->qty);
        }
        portfolio->apply(*fill);
        order->filled_qty = tracker.filled(data.order_id);
        order->avg_price = data.avg_price;
        events.push_back({OrderEvent::Kind::FILL, *order, fill});
      }
      // A final state is never replaced by an earlier one arriving late.
      if (!is_final(order->status) && is_final(now)) {
        change(*order, now);
        if (now != OrderStatus::FILLED) order->message = data.message;
        events.push_back({OrderEvent::Kind::DONE, *order});
      }
    }
    emit(events);
  }

  // Marks an order final without the back end's word (refused, or never placed).
  void finish(const std::string& ref, OrderStatus status, std::string message) {
    std::vector<OrderEvent> events;
    {
      std::lock_guard lock(mutex);
      auto& order = orders[by_ref.at(ref)];
      if (order.status != OrderStatus::SENDING && order.status != OrderStatus::UNCERTAIN) return;
      change(order, status);
      order.message = std::move(message);
      events.push_back({OrderEvent::Kind::DONE, order});
    }
    emit(events);
  }

  void set_status(const std::string& ref, OrderStatus from, OrderStatus to) {
    std::lock_guard lock(mutex);
    auto& order = orders[by_ref.at(ref)];
    if (order.status == from) change(order, to);
  }

  // Every status change goes through here (under the mutex), so that the orders whose
  // outcome is unknown are known without a scan of every order.
  void change(KitOrder& order, OrderStatus to) {
    if (order.status == OrderStatus::UNCERTAIN) uncertain_refs.erase(order.ref);
    if (to == OrderStatus::UNCERTAIN) uncertain_refs.insert(order.ref);
    order.status = to;
  }

  bool any_uncertain() const {
    std::lock_guard lock(mutex);
    return !uncertain_refs.empty();
  }

  // Static, with the state as an argument: the state lives while the call is in flight, even
  // when the manager is gone before the call first runs.
  static asio::awaitable<void> place(std::shared_ptr<State> self, std::string ref,
                                     OrderIntent intent) {
    auto& s = *self;
    const bool market = intent.price == 0.0;
    bool lost = false;
    try {
      const auto answer = co_await s.service->async_place_order(
          intent.symbol, std::string(to_backend(intent.side)), intent.price, intent.qty,
          market ? "MTL" : "LO", s.account_id, ref);
      if (!answer.success && answer.status >= 500) {
        // A gateway may fail after the back end placed the order: its fate is unknown.
        logger().warning("Order {} answered {} ({}); looking it up", ref, answer.status,
                         answer.message);
        s.set_status(ref, OrderStatus::SENDING, OrderStatus::UNCERTAIN);
        lost = true;
      } else if (!answer.success) {
        logger().error("Order {} refused (status {}): {}", ref, answer.status, answer.message);
        s.finish(ref, OrderStatus::REJECTED, answer.message);
      } else {
        OrderData data;
        try {
          data = OrderData::from_dict(answer.data);
        } catch (const std::exception&) {
          // An answer without the order: accepted under its id; reports tell the rest.
          data = OrderData{};
          data.order_id = answer.order_id;
          data.status = "NEW";
        }
        if (data.ref_order_id.empty()) data.ref_order_id = ref;
        // The back end's fee where the answer has it: a fill in the answer is charged as booked.
        s.apply(data, reported_fee(answer.data));
      }
    } catch (const TransportError& e) {
      logger().warning("No answer for order {}: {}; looking it up", ref, e.what());
      s.set_status(ref, OrderStatus::SENDING, OrderStatus::UNCERTAIN);
      lost = true;
    } catch (const std::exception& e) {
      // Failed before anything was sent (no token, a bad argument).
      logger().error("Order {} not sent: {}", ref, e.what());
      s.finish(ref, OrderStatus::NOT_PLACED, e.what());
    }
    if (lost) {
      co_await reconcile(self);
      // The look-up or the stream, whichever came first, has told what became of it.
      std::string order_id;
      {
        std::lock_guard lock(s.mutex);
        order_id = s.orders[s.by_ref.at(ref)].order_id;
      }
      if (!order_id.empty()) logger().warning("Order {} reached the back end as {}", ref, order_id);
    }
    s.one_done();
  }

  static asio::awaitable<bool> reconcile(std::shared_ptr<State> self) {
    auto& s = *self;
    std::optional<std::vector<boost::json::object>> held;
    std::string failure = "the back end did not answer with its orders";
    try {
      held = co_await s.service->async_find_orders(s.account_id);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (!held) {
      logger().warning("Order look-up failed: {}; uncertain orders stay uncertain", failure);
      co_return false;
    }
    for (const auto& item : *held) {
      try {
        const auto report = ExecutionReport::from_dict(item);
        s.apply(report.order, report.fee);
      } catch (const std::exception& e) {
        logger().warning("Unreadable order in the look-up skipped: {}", e.what());
      }
    }
    std::vector<std::string> lost;
    {
      std::lock_guard lock(s.mutex);
      lost.assign(s.uncertain_refs.begin(), s.uncertain_refs.end());
      std::sort(lost.begin(), lost.end(), [&](const std::string& a, const std::string& b) {
        return s.by_ref.at(a) < s.by_ref.at(b);  // in the order they were sent
      });
    }
    for (const auto& ref : lost) {
      logger().warning("Order {} never reached the back end", ref);
      s.finish(ref, OrderStatus::NOT_PLACED, "the answer was lost and the back end has no such order");
    }
    co_return true;
  }

  static asio::awaitable<void> cancel(std::shared_ptr<State> self, std::string ref,
                                      std::string order_id) {
    auto& s = *self;
    try {
      const auto answer = co_await s.service->async_cancel_order(order_id, s.account_id);
      if (!answer.success) {
        // Most often it filled meanwhile; its report tells.
        logger().warning("Cancel of {} refused (status {}): {}", ref, answer.status,
                         answer.message);
      } else {
        try {
          s.apply(OrderData::from_dict(answer.data), reported_fee(answer.data));
        } catch (const std::exception&) {
          // The answer without the order: the report brings the outcome.
        }
      }
    } catch (const std::exception& e) {
      logger().error("Cancel of {} failed: {}", ref, e.what());
    }
    s.cancelling.erase(ref);
    s.one_done();
  }
};

OrderManager::OrderManager(const asio::any_io_executor& executor, features::OrderService& service,
                           std::string account_id, Portfolio& portfolio, CostModel costs,
                           std::string ref_prefix)
    : state_(std::make_shared<State>(executor, service, std::move(account_id), portfolio, costs,
                                     std::move(ref_prefix))) {}

OrderManager::~OrderManager() = default;

void OrderManager::on_event(std::function<void(const OrderEvent&)> handler) {
  state_->handler = std::move(handler);
}

std::string OrderManager::submit(const strategy::Symbol& symbol, OrderIntent intent) {
  auto& s = *state_;
  if (intent.symbol.empty()) intent.symbol = symbol.name;
  if (intent.symbol != symbol.name) {
    throw ValueError("Order for " + intent.symbol + " checked against the rules of " +
                     symbol.name);
  }
  check_order(symbol, intent.qty, intent.price);
  if (s.any_uncertain()) {
    throw RuntimeError("An order's outcome is unknown; no new order until reconcile() settles it");
  }
  std::string ref = fmt::format("{}-{}", s.prefix, ++s.count);
  {
    std::lock_guard lock(s.mutex);
    s.by_ref.emplace(ref, s.orders.size());
    s.orders.push_back(KitOrder{.ref = ref, .intent = intent});
    // A limit order is measured from its limit, a market order from the last price seen.
    s.reference_prices[ref] = intent.price != 0.0 ? intent.price : symbol.last_price;
  }
  logger().info("Order {}: {} {} {} at {}{}", ref, to_string(intent.side), intent.qty,
                intent.symbol, intent.price == 0.0 ? "market" : fmt::format("{}", intent.price),
                intent.tag.empty() ? "" : " (" + intent.tag + ")");
  ++s.in_flight;
  asio::co_spawn(s.executor, State::place(state_, ref, std::move(intent)), asio::detached);
  return ref;
}

void OrderManager::cancel(const std::string& ref) {
  auto& s = *state_;
  std::string order_id;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.by_ref.find(ref);
    if (it == s.by_ref.end()) throw ValueError("No order " + ref);
    const auto& order = s.orders[it->second];
    if (order.status != OrderStatus::WORKING) {
      logger().warning("Cancel of {} skipped: it is {}", ref, to_string(order.status));
      return;
    }
    order_id = order.order_id;
  }
  if (!s.cancelling.insert(ref).second) {
    logger().debug("Cancel of {} skipped: one is on its way already", ref);
    return;
  }
  ++s.in_flight;
  asio::co_spawn(s.executor, State::cancel(state_, ref, std::move(order_id)), asio::detached);
}

std::int64_t OrderManager::expected_position(const std::string& symbol) const {
  std::int64_t expected = state_->portfolio->position(symbol);
  for (const auto& order : open_orders()) {
    if (order.intent.symbol == symbol) {
      expected += sign(order.intent.side) * (order.intent.qty - order.filled_qty);
    }
  }
  return expected;
}

std::string OrderManager::target_position(const strategy::Symbol& symbol, std::int64_t target,
                                          double price, std::string tag) {
  const std::int64_t change = target - expected_position(symbol.name);
  if (change == 0) return "";
  return submit(symbol, OrderIntent{.symbol = symbol.name,
                                    .side = change > 0 ? Side::BUY : Side::SELL,
                                    .qty = change > 0 ? change : -change,
                                    .price = price,
                                    .tag = std::move(tag)});
}

void OrderManager::on_execution_report(const boost::json::value& payload) {
  ExecutionReport report;
  try {
    report = ExecutionReport::from_dict(payload);
  } catch (const std::exception& e) {
    logger().warning("Unreadable execution report skipped: {}", e.what());
    return;
  }
  // Every report read, ours or not: a soak counts them against what the back end sent.
  logger().debug("Execution report {} {} filled {}", report.order.order_id, report.order.status,
                 report.order.filled_qty);
  state_->apply(report.order, report.fee);
}

platform::detail::awaitable<bool> OrderManager::reconcile() { return State::reconcile(state_); }

platform::detail::awaitable<void> OrderManager::settle() {
  auto state = state_;
  asio::steady_timer timer(state->executor);
  // Woken by the last answer in flight: a backtest waits for its orders at every bar, and a
  // period of sleep there would be most of its time. The period stays as a backstop.
  struct Waiting {
    State& s;
    asio::steady_timer* timer;
    ~Waiting() { std::erase(s.settle_waiters, timer); }
  };
  while (state->in_flight > 0) {
    timer.expires_after(std::chrono::milliseconds(5));
    state->settle_waiters.push_back(&timer);
    Waiting waiting{*state, &timer};
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

bool OrderManager::uncertain() const { return state_->any_uncertain(); }

std::vector<KitOrder> OrderManager::orders() const {
  std::lock_guard lock(state_->mutex);
  return state_->orders;
}

std::vector<KitOrder> OrderManager::open_orders() const {
  std::lock_guard lock(state_->mutex);
  std::vector<KitOrder> out;
  for (const auto& order : state_->orders) {
    if (!is_final(order.status)) out.push_back(order);
  }
  return out;
}

std::optional<KitOrder> OrderManager::find(const std::string& ref) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->by_ref.find(ref);
  if (it == state_->by_ref.end()) return std::nullopt;
  return state_->orders[it->second];
}

const std::string& OrderManager::account_id() const { return state_->account_id; }

}  // namespace tolbu_sdk::kit
