#pragma once
// Orders by intent, each under a reference id of the kit, sent at most once, with their fate
// from whichever path brings it first: the placement answer, an execution report, or a REST
// look-up (after a lost answer, a stream gap or a reconnect). All three meet in one place,
// which turns them into typed events and applies every fill to the portfolio exactly once.
//
//   kit::OrderManager orders(executor, service, "SIM0001", portfolio);
//   orders.on_event([&](const kit::OrderEvent& e) { ... });
//   std::string ref = orders.submit(symbol, {.symbol = "HPG", .side = kit::Side::BUY, .qty = 100});
//
// submit() registers the order and returns at once; the placement runs on the executor and
// its outcome arrives as events. While an order's outcome is unknown (its answer was lost and
// the look-up failed too) no new order is accepted: submit() throws RuntimeError until
// reconcile() settles it. Everything runs on the executor's thread; the read-only queries may
// be called from any thread. Logger: "tolbu_sdk.kit.orders".

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/kit/fills.hpp"
#include "tolbu_sdk/kit/portfolio.hpp"
#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"

namespace boost::json {
class value;
}

namespace tolbu_sdk::features {
class OrderService;
}

namespace tolbu_sdk::kit {

// An order as the strategy means it.
struct TOLBU_API OrderIntent {
  std::string symbol{};  // empty: the symbol whose rules check it
  // Buying or selling.
  Side side = Side::BUY;
  // Units to trade; submit() checks them against the symbol's rules.
  std::int64_t qty = 0;
  double price = 0.0;  // 0: at the market
  std::string tag{};   // the strategy's own label, handed back with every event
};

// Where a kit order stands.
enum class OrderStatus {
  SENDING,     // placed, no answer yet
  UNCERTAIN,   // the answer was lost: the order may or may not exist
  WORKING,     // accepted, not final
  FILLED,      // final from here on
  CANCELLED,
  REJECTED,    // refused by the back end
  NOT_PLACED,  // never reached the back end (the answer was lost and the look-up found none)
};
// The member's name ("WORKING").
TOLBU_API const char* to_string(OrderStatus status) noexcept;
// Whether the order can no longer change (FILLED, CANCELLED, REJECTED, NOT_PLACED).
constexpr bool is_final(OrderStatus status) noexcept {
  return status != OrderStatus::SENDING && status != OrderStatus::UNCERTAIN &&
         status != OrderStatus::WORKING;
}

// One order of the kit as it stands.
struct TOLBU_API KitOrder {
  std::string ref;             // the kit's reference id, known from the start
  std::string order_id{};      // the back end's id, once known
  // What the strategy asked for.
  OrderIntent intent{};
  // Where it stands.
  OrderStatus status = OrderStatus::SENDING;
  // Quantity filled so far.
  std::int64_t filled_qty = 0;
  // Average price of the filled quantity.
  double avg_price = 0.0;
  std::string message{};       // why it was refused or not placed
};

// Something that happened to a kit order, as OrderManager::on_event hands it out.
struct TOLBU_API OrderEvent {
  // What happened.
  enum class Kind {
    ACCEPTED,  // the back end holds the order
    FILL,      // some quantity filled (fill is set)
    DONE,      // the order is final: filled, cancelled, refused or never placed
  };
  // What happened.
  Kind kind;
  // The order as it stands after the event.
  KitOrder order;
  // The fill, for a FILL event.
  std::optional<Fill> fill{};
};

// The strategy's orders: sent at most once, tracked to their end, every fill applied once.
class TOLBU_API OrderManager {
 public:
  // The service must outlive the manager's calls in flight; so must the portfolio, into
  // which every fill goes. ref_prefix starts every reference id (a random one when empty, so
  // that a look-up finds only this run's orders).
  OrderManager(const boost::asio::any_io_executor& executor, features::OrderService& service,
               std::string account_id, Portfolio& portfolio, CostModel costs = {},
               std::string ref_prefix = "");
  ~OrderManager();
  OrderManager(const OrderManager&) = delete;
  OrderManager& operator=(const OrderManager&) = delete;

  // Runs for every event, on the executor; an exception it throws is logged and dropped.
  void on_event(std::function<void(const OrderEvent&)> handler);

  // Checks the order against the symbol's rules (ValueError naming the rule), registers it
  // and sends it; returns its reference id. RuntimeError while an outcome is unknown.
  std::string submit(const strategy::Symbol& symbol, OrderIntent intent);
  // Asks the back end to cancel a working order (its answer or report tells the outcome); a
  // second call while the first is on its way sends nothing.
  void cancel(const std::string& ref);
  // The signed position of a symbol once every order still open has filled.
  std::int64_t expected_position(const std::string& symbol) const;
  // Orders towards a signed position in a symbol, counting what working orders will add;
  // the reference id, or "" when nothing needs sending.
  std::string target_position(const strategy::Symbol& symbol, std::int64_t target,
                              double price = 0.0, std::string tag = "");

  // An execution report's payload from the stream; reports of other orders are ignored.
  void on_execution_report(const boost::json::value& payload);
  // Looks up every order that is not final, or whose answer was lost, over REST and applies
  // what the back end holds. Call it after a stream gap or a reconnect. False when the
  // look-up failed (uncertain orders stay uncertain).
  platform::detail::awaitable<bool> reconcile();
  // Waits until no placement or cancellation is in flight.
  platform::detail::awaitable<void> settle();

  // Whether an order's outcome is unknown, which blocks submit() until reconcile() settles it.
  bool uncertain() const;
  std::vector<KitOrder> orders() const;  // every order, oldest first
  // The orders not final yet, oldest first.
  std::vector<KitOrder> open_orders() const;
  // The order with reference id `ref`; absent when unknown.
  std::optional<KitOrder> find(const std::string& ref) const;
  // The account the orders go to.
  const std::string& account_id() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tolbu_sdk::kit
