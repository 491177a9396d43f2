// The sim's streaming hub reading client commands: each input goes to it as one text frame
// from a connected WebSocket client on loopback. Whatever the frame holds, the hub answers
// the next command (on this connection, or on a new one when it closed this one).

#include "fuzz_check.hpp"
#include "streaming/hub.hpp"
#include "ws_peer.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <cstdint>
#include <string>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Session {
  Session() {
    tolbu_sim::streaming::HubOptions o;
    o.token = "fuzz";
    o.history_size = 50;
    o.server_subs = {"fz:server"};
    hub = tolbu_sim::streaming::Hub::create(io.get_executor(), o);
    port = hub->listen("127.0.0.1", 0);
    thread = std::thread([this] { io.run(); });
  }

  // Waits for the reply to command `id`, answering the hub's pings; false when the
  // connection ended or the reply did not come in time.
  bool reply_to(std::uint64_t id, std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    const std::string mark = "\"id\":" + std::to_string(id);
    while (Clock::now() < deadline) {
      const std::string message = client.read_text(100ms);
      if (!client.connected()) return false;
      for (const auto line : tolbu_fuzz::lines(message)) {
        if (line == "{}") client.send_text("{}");
        if (line.find(mark) != std::string_view::npos) return true;
      }
    }
    return false;
  }

  bool connect() {
    if (!client.connect(port, "/connection/websocket")) return false;
    const auto id = ++next_id;
    client.send_text(json::serialize(
        json::object{{"id", id}, {"connect", json::object{{"token", "fuzz"}, {"name", "fuzz"}}}}));
    if (!reply_to(id, 3s)) return false;
    // A subscription with history, so that publications and recovery are in play.
    const auto sub = ++next_id;
    client.send_text(json::serialize(
        json::object{{"id", sub}, {"subscribe", json::object{{"channel", "fz:a"}}}}));
    return reply_to(sub, 3s);
  }

  // The hub still reads commands: a presence_stats command of ours gets its reply.
  bool alive() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!client.connected() && !connect()) continue;
      const auto id = ++next_id;
      client.send_text(json::serialize(
          json::object{{"id", id}, {"presence_stats", json::object{{"channel", "fz:a"}}}}));
      if (reply_to(id, 3s)) return true;
    }
    return false;
  }

  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::shared_ptr<tolbu_sim::streaming::Hub> hub;
  std::uint16_t port = 0;
  tolbu_fuzz::WsPeer client;
  std::uint64_t next_id = 1u << 30;  // above the ids an input is likely to use
  std::thread thread;
};

Session& session() {
  static auto* s = [] {
    auto* s = new Session;
    if (!s->alive()) std::abort();
    return s;
  }();
  return *s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& s = session();
  if (!s.client.connected()) FUZZ_CHECK(s.connect());
  s.client.send_text(std::string_view(reinterpret_cast<const char*>(data), size));
  // Publications reach the subscription while the input is being read. On the hub's own
  // thread: the hub is single-threaded, and a publish from here raced its unsubscribes.
  asio::post(s.io, [&s, seq = s.next_id] { s.hub->publish("fz:a", json::object{{"seq", seq}}); });
  FUZZ_CHECK(s.alive());
  return 0;
}
