// The client against peers that stall, trickle, flood or bend the protocol, against loops run
// by several threads, and against callers that misuse its lifetime.

#include "http_peers.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <dirent.h>

#include <cstring>
#include <fstream>
#include <optional>

namespace http = tolbu_sdk::platform::http;
namespace asio = boost::asio;
using http_test::Act;
using http_test::KeepAlivePeer;
using http_test::RawPeer;
using http_test::send_text;
using namespace std::chrono_literals;

namespace {

std::string failure_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const tolbu_sdk::TransportError& e) {
    return e.what();
  }
  return "(no TransportError)";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int open_descriptors() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++n;
    ::closedir(dir);
  }
  return n;
}

// Sends text in pieces with a pause between them, until the client goes away.
void trickle(int fd, const std::string& text, std::size_t piece, std::chrono::milliseconds pause) {
  for (std::size_t at = 0; at < text.size(); at += piece) {
    if (::send(fd, text.data() + at, std::min(piece, text.size() - at), MSG_NOSIGNAL) < 0) return;
    std::this_thread::sleep_for(pause);
  }
}

}  // namespace

// Every exchange's state stays with one thread at a time when the loop is run by several, and
// the stall timer never reaches a connection another thread has finished with. Run under ASan
// and ThreadSanitizer too.
TEST(HttpThreads, LoopRunBySeveralThreadsWithStallsRacingAnswers) {
  struct Case {
    std::chrono::milliseconds stall;
    int base_delay_ms;  // the peer answers after this plus 0..spread ms
    int spread_ms;
  };
  for (const Case& c : {Case{1ms, 0, 2}, Case{50ms, 45, 10}}) {
    KeepAlivePeer peer([&](int connection, int request) {
      std::this_thread::sleep_for(std::chrono::milliseconds(
          c.base_delay_ms + (connection * 7 + request * 3) % (c.spread_ms + 1)));
      return Act::answer;
    });
    http::Client client({.stall_timeout = c.stall});
    asio::io_context loop(4);
    std::atomic<int> answered{0}, failed{0}, wrong{0};
    auto ten_gets = [&]() -> asio::awaitable<void> {
      for (int j = 0; j < 10; ++j) {
        try {
          auto response = co_await client.async_get(peer.url("/candles"));
          if (response.status_code == 200)
            ++answered;
          else
            ++wrong;
        } catch (const tolbu_sdk::TransportError&) {
          ++failed;
        }
      }
    };
    for (int i = 0; i < 16; ++i) {
      asio::co_spawn(loop, ten_gets(), [&](std::exception_ptr e) {
        if (e) ++wrong;
      });
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { loop.run(); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered + failed, 160) << "stall " << c.stall.count() << " ms";
    EXPECT_EQ(wrong, 0);
  }
}

TEST(HttpClientLifetime, SpawnedCallOutlivesTheClient) {
  RawPeer peer([](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  });
  asio::io_context loop;
  std::optional<int> status;
  {
    http::Client client;
    asio::co_spawn(loop, client.async_get(peer.url()), [&](std::exception_ptr e, http::Response r) {
      if (!e) status = r.status_code;
    });
  }
  loop.run();
  EXPECT_EQ(status, 200);
}

TEST(HttpClientLifetime, BlockingCallInsideItsOwnRunIsRefusedNotAHang) {
  RawPeer peer([](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  });
  http::Client client;
  http::Client other;
  EXPECT_THROW(client.run([&]() -> asio::awaitable<void> {
    client.get(peer.url());
    co_return;
  }()),
               tolbu_sdk::RuntimeError);
  // Another client's blocking call runs its own loop, and may be made there.
  int status =
      client.run([&]() -> asio::awaitable<int> { co_return other.get(peer.url()).status_code; }());
  EXPECT_EQ(status, 200);
}

TEST(HttpClientLifetime, EndedThreadsLeaveNoLoopsOrConnectionsBehind) {
  KeepAlivePeer peer([](int, int) { return Act::answer; });
  http::Client client;
  EXPECT_EQ(client.get(peer.url("/warm")).status_code, 200);
  int before = open_descriptors();
  for (int round = 0; round < 4; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; ++t)
      threads.emplace_back([&] { EXPECT_EQ(client.get(peer.url("/x")).status_code, 200); });
    for (auto& thread : threads) thread.join();
  }
  // The peer notices each close a moment later.
  for (int i = 0; i < 500 && (peer.closed() < 20 || open_descriptors() > before); ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(peer.closed(), 20) << "each ended thread's connection is closed";
  EXPECT_LE(open_descriptors(), before) << "and its loop released";
}

// However steadily bytes move, an exchange ends at its total deadline; interim answers cannot
// keep it open either.
TEST(HttpHostile, TricklingAndEndlessAnswersEndInTime) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t piece;
    std::string expected;
  };
  std::string endless_continue;
  for (int i = 0; i < 100; ++i) endless_continue += "HTTP/1.1 100 Continue\r\n\r\n";
  std::vector<Case> cases = {
      {"body a byte at a time",
       "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n" + std::string(500, 'x'), 1,
       "not complete within 400 ms"},
      {"header a byte at a time", "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(500, 'p') + "\r\n\r\n",
       1, "not complete within 400 ms"},
      {"interim answers without end", endless_continue, 25, "more than 8 interim (1xx) answers"},
  };
  for (const auto& c : cases) {
    RawPeer peer([&](int fd, const std::string&) { trickle(fd, c.text, c.piece, 20ms); });
    http::Client client({.stall_timeout = 200ms, .total_timeout = 400ms});
    std::string message = failure_of([&] { client.request("POST", peer.url()); });
    EXPECT_TRUE(contains(message, c.expected)) << c.name << ": " << message;
    EXPECT_FALSE(contains(message, "no data received")) << c.name << ": data was arriving";
  }
}

// An answer of unknown length takes about its own size in memory, never twice the limit.
TEST(HttpHostile, ChunkedAnswersTakeAboutTheirSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory";
#endif
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  auto peak_rise = [](const std::function<void()>& call) {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    auto read = [](const char* field) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field))) * 1024;
      return 0L;
    };
    long base = read("VmRSS:");
    call();
    return static_cast<std::size_t>(read("VmHWM:") - base);
  };
  auto chunked_peer = [&](std::size_t total) {
    return std::make_unique<RawPeer>([total](int fd, const std::string&) {
      send_text(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
      std::string chunk = "10000\r\n" + std::string(0x10000, 'c') + "\r\n";
      for (std::size_t sent = 0; sent < total; sent += 0x10000)
        if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) return;
      send_text(fd, "0\r\n\r\n");
    });
  };
  http::Client client({.max_response_bytes = 40 * kMiB});
  std::size_t size = 0;
  auto fits = chunked_peer(36 * kMiB);
  std::size_t rise = peak_rise([&] { size = client.get(fits->url()).text.size(); });
  EXPECT_EQ(size, 36 * kMiB);
  EXPECT_LT(rise, 44 * kMiB) << "an answer of 36 MiB";

  auto flood = chunked_peer(200 * kMiB);
  std::string message;
  rise = peak_rise([&] { message = failure_of([&] { client.get(flood->url()); }); });
  EXPECT_TRUE(contains(message, "larger than")) << message;
  EXPECT_LT(rise, 48 * kMiB) << "a flood against a limit of 40 MiB";
}

TEST(HttpHostile, StatusLineWithoutReasonPhraseIsAnAnswer) {
  for (std::string line : {"HTTP/1.1 200\r\n", "HTTP/1.1 201 \r\n", "HTTP/1.0 404\r\n"}) {
    RawPeer peer([&](int fd, const std::string&) {
      send_text(fd, line + "Content-Length: 2\r\nConnection: close\r\n\r\n{}");
    });
    http::Client client;
    auto response = client.get(peer.url());
    EXPECT_EQ(response.status_code, std::stoi(line.substr(9, 3))) << line;
    EXPECT_FALSE(response.reason.empty()) << "a standard reason stands in";
    EXPECT_EQ(response.text, "{}");
  }
}

TEST(HttpHostile, RequestsGoOutFramedWithOneHostAndNoControlCharacters) {
  std::mutex mutex;  // the socket orders these accesses, but ThreadSanitizer cannot see it
  std::string head;
  RawPeer peer([&](int fd, const std::string& h) {
    std::lock_guard lock(mutex);
    head = h;
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  });
  http::Client client;
  boost::json::value body = boost::json::object{{"a", 1}};
  EXPECT_EQ(client.request("GET", peer.url(), {{"X-Tab", "a\tb"}}, &body).status_code, 200);
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(contains(head, "\r\nContent-Length: 8\r\n")) << head;
  }
  EXPECT_EQ(peer.served(), 1);

  for (const http::Headers& headers :
       {http::Headers{{"Host", "elsewhere"}}, http::Headers{{"host", "127.0.0.1"}},
        http::Headers{{"X", std::string("a\x01")}}, http::Headers{{"X", "a\x7f"}},
        http::Headers{{"X", std::string("a\0b", 3)}}, http::Headers{{"X", "a\rb"}},
        http::Headers{{"X Y", "1"}}, http::Headers{{"X\xc3\xa9", "1"}}})
    EXPECT_THROW(client.get(peer.url(), headers), tolbu_sdk::ValueError) << headers[0].first;
  EXPECT_EQ(peer.served(), 1) << "nothing refused reached the peer";
}

// Cancelled before anything was written: the SDK's error, saying so, and nothing sent.
TEST(HttpHostile, CancelledCallsFailWithTheSdksErrorSayingWhetherSent) {
  KeepAlivePeer peer([](int, int) {
    std::this_thread::sleep_for(300ms);
    return Act::answer;
  });
  http::Client client;
  for (bool before_run : {true, false}) {
    asio::io_context loop;
    asio::cancellation_signal cancel;
    std::exception_ptr error;
    asio::co_spawn(loop, client.async_request("POST", peer.url("/orders/new/R")),
                   asio::bind_cancellation_slot(
                       cancel.slot(), [&](std::exception_ptr e, http::Response) { error = e; }));
    asio::steady_timer later(loop, 100ms);
    if (before_run)
      cancel.emit(asio::cancellation_type::terminal);
    else
      later.async_wait([&](auto) { cancel.emit(asio::cancellation_type::terminal); });
    loop.run();
    ASSERT_TRUE(error);
    std::string message = failure_of([&] { std::rethrow_exception(error); });
    if (before_run)
      EXPECT_TRUE(contains(message, "Cancelled before the request was sent")) << message;
    else
      EXPECT_TRUE(contains(message, "may have reached the server")) << message;
  }
  EXPECT_EQ(peer.seen(), std::vector<std::string>{"POST /orders/new/R"});
}
