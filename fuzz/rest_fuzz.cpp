// The REST services' handling of answers: any status with any body, through the order and
// market data services' own decoding. Only the SDK's errors may come out of them, and an
// order is never reported as accepted by an answer that says otherwise.

#include "fuzz_check.hpp"
#include "loopback.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"

#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

using namespace tolbu_sdk;
using namespace std::chrono_literals;

struct Peers {
  tolbu_fuzz::ScriptedServer server;
  std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  TolbuConfig config = TolbuConfig::from_endpoints(base, base, "ws://127.0.0.1:1/ws", "jwt");
  platform::http::Options http{.connect_timeout = 2000ms, .stall_timeout = 2000ms};
  features::OrderService orders{config, http};
  features::MarketDataService prices{config, http};
};

Peers& peers() {
  static auto* p = new Peers;
  return *p;
}

void check_accepted(const types::OrderResponse& r, int status) {
  // Success needs the answer's own 2xx "status", or no "status" in a successful HTTP answer.
  if (!r.success) return;
  if (r.status == 0) FUZZ_CHECK(status < 400);
  else FUZZ_CHECK(r.status >= 200 && r.status < 300);
}

void call(Peers& p, std::uint8_t op, int status) {
  auto& o = p.orders;
  auto& m = p.prices;
  switch (op % 14) {
    case 0: check_accepted(o.place_order("VN30F1M", "B", 1250.5, 2, "LO", "ACC1", "r-1"), status); break;
    case 1: check_accepted(o.cancel_order("O-1", "ACC1"), status); break;
    case 2: check_accepted(o.close_position("VN30F1M", 1, "LONG", "ACC1"), status); break;
    case 3: check_accepted(o.place_stop_order("VN30F1M", "S", 1200, 1, "ACC1", 1199.5), status); break;
    case 4: check_accepted(o.place_bracket_order("VN30F1M", "B", 1250, 1, "ACC1", 1260, 1240), status); break;
    case 5: (void)o.get_orders("ACC1", 1, 2, "VN30F1M", "NEW"); break;
    case 6: (void)o.get_execution_reports(); break;
    case 7: (void)o.get_trades("ACC1"); break;
    case 8: (void)o.get_stop_orders("ACC1"); (void)o.get_bracket_orders(); break;
    case 9: (void)m.fetch_candles("VN30F1M", 60, 1700000000, 1700003600); break;
    case 10: (void)m.get_latest_price("VN30F1M"); break;
    case 11: (void)m.get_closing_prices({"VN30F1M", "HPG"}, platform::make_local(2024, 5, 17)); break;
    case 12: (void)m.get_product_master("VN30F1M"); break;
    default: (void)m.get_margin_rate("VN30F1M"); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  auto& p = peers();
  const auto op = data[0];
  const int status = 100 + (data[1] | (data[2] << 8)) % 500;
  const std::string body(reinterpret_cast<const char*>(data + 3), size - 3);
  p.server.reply("HTTP/1.1 " + std::to_string(status) +
                 " Answer\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  try {
    call(p, op, status);
  } catch (const TransportError&) {
  } catch (const ValueError&) {
  } catch (const TypeError&) {
  } catch (const RuntimeError&) {
  }
  return 0;
}
