// At most once: a request is never written twice behind the caller's back, even when a warmed
// keep-alive connection dies after the server acted on the request.

#include "http_peers.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace http = tolbu_sdk::platform::http;
namespace asio = boost::asio;
using http_test::Act;
using http_test::KeepAlivePeer;

namespace {

// The second request on the first connection is read and then dropped; all else is answered.
Act drop_second_on_first(int connection, int request) {
  return connection == 0 && request == 1 ? Act::drop : Act::answer;
}

std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const tolbu_sdk::TransportError& e) {
    return e.what();
  }
  return "(no TransportError)";
}

}  // namespace

TEST(HttpDelivery, PostOnDroppedWarmConnectionIsReportedOnceAndNeverResent) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  boost::json::value body = boost::json::object{{"qty", 1}};
  EXPECT_EQ(client.request("POST", peer.url("/warm"), {}, &body).status_code, 200);
  std::string message =
      message_of([&] { client.request("POST", peer.url("/orders/new/R1"), {}, &body); });
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_NE(message.find("POST " + peer.url("/orders/new/R1")), std::string::npos) << message;
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /warm", "POST /orders/new/R1"}));
  EXPECT_EQ(peer.connections(), 1);
  // The pool holds nothing broken: the next call opens a new connection and succeeds.
  EXPECT_EQ(client.request("POST", peer.url("/after"), {}, &body).status_code, 200);
}

TEST(HttpDelivery, GetOnDroppedWarmConnectionIsRetriedOnceOnAFreshConnection) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  EXPECT_EQ(client.get(peer.url("/warm")).status_code, 200);
  auto response = client.get(peer.url("/candles"));
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.json().at("n"), 0) << "answered as the first request of a new connection";
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"GET /warm", "GET /candles", "GET /candles"}));
  EXPECT_EQ(client.connections_opened(), 2u);
}

TEST(HttpDelivery, GetIsRetriedOnlyOnceAndNeverAfterAFreshConnectionFails) {
  // Every connection answers its first request and drops its second.
  KeepAlivePeer peer([](int, int request) { return request == 0 ? Act::answer : Act::drop; });
  http::Client client;
  EXPECT_EQ(client.get(peer.url("/warm")).status_code, 200);
  EXPECT_EQ(client.get(peer.url("/a")).status_code, 200);  // retried once, answered
  // The retry's connection is warm now and drops /b: retried again on a third connection.
  EXPECT_EQ(client.get(peer.url("/b")).status_code, 200);

  KeepAlivePeer hostile([](int, int) { return Act::drop; });
  http::Client fresh;
  std::string message = message_of([&] { fresh.get(hostile.url("/x")); });
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_EQ(hostile.seen().size(), 1u) << "a fresh connection's failure is not retried";
}

TEST(HttpDelivery, AwaitedPostOnDroppedWarmConnectionFailsTheSameWay) {
  KeepAlivePeer peer(drop_second_on_first);
  http::Client client;
  asio::io_context loop;
  auto done = asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<std::string> {
        auto warm = co_await client.async_request("POST", peer.url("/warm"));
        EXPECT_EQ(warm.status_code, 200);
        try {
          co_await client.async_request("POST", peer.url("/orders/cancel/9"));
        } catch (const tolbu_sdk::TransportError& e) {
          co_return e.what();
        }
        co_return "(no TransportError)";
      },
      asio::use_future);
  loop.run();
  std::string message = done.get();
  EXPECT_NE(message.find("may have reached the server"), std::string::npos) << message;
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /warm", "POST /orders/cancel/9"}));
}

TEST(HttpDelivery, IdleConnectionClosedByThePeerIsReplacedBeforeAnythingIsWritten) {
  KeepAlivePeer peer([](int, int) { return Act::answer_and_close; });
  http::Client client;
  EXPECT_EQ(client.request("POST", peer.url("/one")).status_code, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the peer's close arrives
  EXPECT_EQ(client.request("POST", peer.url("/two")).status_code, 200);
  EXPECT_EQ(peer.seen(), (std::vector<std::string>{"POST /one", "POST /two"}));
  EXPECT_EQ(client.connections_opened(), 2u);
}
