// The blocking HTTP client against tolbu-sim and small purpose-built peers on loopback.

#include "http_peers.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <atomic>
#include <thread>

namespace http = tolbu_sdk::platform::http;
namespace json = boost::json;
using tolbu_test::SimProcess;
using namespace std::chrono_literals;
using http_test::RawPeer;
using http_test::send_text;

namespace {

json::array journal(const SimProcess& sim) {
  return json::parse(sim.get("/_sim/journal").body).at("requests").as_array();
}

// Header names of a journal entry, apart from Host.
std::vector<std::string> header_names(const json::value& entry) {
  std::vector<std::string> names;
  for (const auto& [name, value] : entry.at("headers").as_object()) {
    if (name != "Host") names.emplace_back(name);
  }
  return names;
}

// A port with nothing listening on it.
int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

class HttpClientTest : public ::testing::Test {
 protected:
  SimProcess sim{{"--speed", "0"}};
  std::string url(const std::string& path) const { return sim.base_url() + path; }
};

TEST_F(HttpClientTest, GetSendsOnlyTheGivenHeadersInOrder) {
  http::Client client;
  auto response =
      client.get(url("/GetOhlcvHis/HPG/60/0/1000"), {{"X-First", "1"}, {"X-Second", "two"}});
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.reason, "OK");
  EXPECT_TRUE(response.ok());
  EXPECT_TRUE(response.json().is_array());
  EXPECT_EQ(response.header("content-type"), "application/json");

  client.get(url("/GetOhlcvHis/HPG/60/0/1000"));
  auto entries = journal(sim);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(header_names(entries[0]), (std::vector<std::string>{"X-First", "X-Second"}));
  EXPECT_TRUE(header_names(entries[1]).empty()) << "no header of the client's own";
}

TEST_F(HttpClientTest, RequestSendsJsonBodyInKeyOrderAndEncodedQueryInOrder) {
  http::Client client;
  json::value body = json::object{{"zeta", 1}, {"alpha", "x"}, {"price", 1250.0}};
  http::Params params{{"z", "1"}, {"a", "b c&d=é"}};
  client.request("POST", url("/api/v1/stop-orders"), {{"Authorization", "Bearer t"}}, &body,
                 &params);
  http::Params none;
  client.request("POST", url("/api/v1/stop-orders"), {}, nullptr, &none);

  auto entries = journal(sim);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].at("target"), "/api/v1/stop-orders?z=1&a=b+c%26d%3D%C3%A9");
  EXPECT_EQ(entries[0].at("body"), R"({"zeta": 1, "alpha": "x", "price": 1250.0})");
  EXPECT_EQ(entries[0].at("headers").at("Content-Type"), "application/json");
  EXPECT_EQ(entries[1].at("target"), "/api/v1/stop-orders") << "an empty map adds no query";
  EXPECT_EQ(entries[1].at("body"), "");
  // A POST without a body carries neither a form content type nor an Expect header.
  EXPECT_EQ(header_names(entries[1]), (std::vector<std::string>{"Content-Length"}));
}

TEST_F(HttpClientTest, HeadersWithLineBreaksAreRefusedBeforeSending) {
  http::Client client;
  EXPECT_THROW(client.get(url("/x"), {{"Authorization", "Bearer t\r\nX-Injected: 1"}}),
               tolbu_sdk::ValueError);
  EXPECT_THROW(client.get(url("/x"), {{"Bad:Name", "v"}}), tolbu_sdk::ValueError);
  EXPECT_THROW(client.get(url("/x"), {{"", "v"}}), tolbu_sdk::ValueError);
  EXPECT_THROW(client.request("GET /other HTTP/1.1\r\n", url("/x")), tolbu_sdk::ValueError);
  EXPECT_TRUE(journal(sim).empty());
}

TEST_F(HttpClientTest, ErrorStatusesAreResponsesWithReasonAndSuccessFlag) {
  http::Client client;
  for (int status : {201, 399, 400, 404, 422, 500, 503}) {
    sim.post("/_sim/faults", R"({"status": )" + std::to_string(status) + R"(, "body": "b"})");
    auto response = client.get(url("/anything"));
    EXPECT_EQ(response.status_code, status);
    EXPECT_EQ(response.ok(), status < 400) << status;
    EXPECT_EQ(response.text, "b");
  }
  auto missing = client.get(url("/no/such/path"));
  EXPECT_EQ(missing.status_code, 404);
  EXPECT_EQ(missing.reason, "Not Found");
  EXPECT_EQ(missing.json().at("error"), "Not found: /no/such/path");
}

TEST_F(HttpClientTest, JsonDecodeFailsWithValueErrorOnHtmlAndEmptyBodies) {
  http::Client client;
  sim.post("/_sim/faults",
           R"({"status": 200, "body": "<html>oops</html>", "content_type": "text/html"})");
  auto html = client.get(url("/x"));
  EXPECT_EQ(html.text, "<html>oops</html>");
  EXPECT_THROW(html.json(), tolbu_sdk::ValueError);
  sim.post("/_sim/faults", R"({"status": 200, "body": ""})");
  EXPECT_THROW(client.get(url("/x")).json(), tolbu_sdk::ValueError);
}

TEST_F(HttpClientTest, ReusesOneConnectionOrOpensOneEachCallWhenAsked) {
  http::Client reusing;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reusing.get(url("/_sim/health")).status_code, 200);
  EXPECT_EQ(reusing.connections_opened(), 1u);

  http::Client fresh({.reuse_connections = false});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(fresh.get(url("/_sim/health")).status_code, 200);
  EXPECT_EQ(fresh.connections_opened(), 5u);
}

TEST_F(HttpClientTest, SeveralThreadsShareOneClient) {
  http::Client client;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        auto r = client.get(
            url("/GetOhlcvHis/S" + std::to_string(t) + "/60/0/" + std::to_string(60000 * i)));
        if (r.status_code == 200 && r.json().as_array().size() == static_cast<std::size_t>(i + 1))
          ++ok;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok.load(), 100);
  EXPECT_LE(client.connections_opened(), 4u);
}

TEST_F(HttpClientTest, StalledAnswerFailsAfterTheStallTimeout) {
  http::Client client({.stall_timeout = 200ms});
  sim.post("/_sim/faults", R"({"delay_ms": 5000})");
  try {
    client.get(url("/GetOhlcvHis/HPG/60/0/1000"));
    FAIL() << "expected a TransportError";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("no data received for 200 ms"), std::string::npos)
        << e.what();
  }
  // The pool dropped the stalled connection; the next call works on a new one.
  EXPECT_EQ(client.get(url("/_sim/health")).status_code, 200);
}

TEST_F(HttpClientTest, DroppedConnectionIsATransportError) {
  http::Client client;
  sim.post("/_sim/faults", R"({"drop": true})");
  EXPECT_THROW(client.get(url("/x")), tolbu_sdk::TransportError);
}

TEST(HttpClient, BodyThatStopsHalfwayFailsAfterTheStallTimeout) {
  std::atomic<bool> release{false};
  RawPeer peer([&](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"partial\":");
    for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(10ms);
  });
  http::Client client({.stall_timeout = 150ms});
  EXPECT_THROW(client.get(peer.url()), tolbu_sdk::TransportError);
  release = true;
}

TEST(HttpClient, ResetConnectionIsATransportError) {
  RawPeer peer([](int fd, const std::string&) {
    linger hard{1, 0};  // close with RST
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  http::Client client;
  EXPECT_THROW(client.get(peer.url()), tolbu_sdk::TransportError);
}

TEST(HttpClient, RefusedUnresolvableAndForeignSchemesAreTransportErrors) {
  http::Client client({.connect_timeout = 2000ms});
  try {
    client.get("http://127.0.0.1:" + std::to_string(closed_port()) + "/x");
    FAIL();
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("Could not connect to 127.0.0.1:"), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
  }
  EXPECT_THROW(client.get("http://no-such-host.invalid/x"), tolbu_sdk::TransportError);
  // Only HTTP(S): a URL naming another scheme is refused before anything is read.
  EXPECT_THROW(client.get("file:///etc/hostname"), tolbu_sdk::TransportError);
}

TEST(HttpClient, ReasonPhraseComesFromTheStatusLine) {
  RawPeer peer([](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 418 I Am A Teapot Today\r\nContent-Length: 2\r\n\r\n{}");
  });
  http::Client client;
  auto response = client.get(peer.url());
  EXPECT_EQ(response.status_code, 418);
  EXPECT_EQ(response.reason, "I Am A Teapot Today");
  EXPECT_FALSE(response.ok());
}

TEST(HttpClient, AnswerLargerThanTheLimitFails) {
  RawPeer peer([](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'));
  });
  http::Client client({.max_response_bytes = 1000});
  EXPECT_THROW(client.get(peer.url()), tolbu_sdk::TransportError);
}

// Found by fuzzing: "020" was read as status 20, and passed for a success.
TEST(HttpClient, StatusBelow100IsATransportErrorNotASuccess) {
  RawPeer peer([](int fd, const std::string&) {
    send_text(fd, "HTTP/1.1 020 OK\r\nContent-Length: 2\r\n\r\n{}");
  });
  http::Client client;
  try {
    client.get(peer.url());
    FAIL() << "a status below 100 was taken for an answer";
  } catch (const tolbu_sdk::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("no valid status code"), std::string::npos) << e.what();
  }
}

TEST(HttpEncoding, PathSegmentsKeepUnreservedAndEncodeEverythingElse) {
  EXPECT_EQ(http::encode_path_segment("VN30F2412"), "VN30F2412");
  EXPECT_EQ(http::encode_path_segment("a-b.c_d~e"), "a-b.c_d~e");
  EXPECT_EQ(http::encode_path_segment("1250.0"), "1250.0");
  EXPECT_EQ(http::encode_path_segment("../orders/1?x=1#f"), "..%2Forders%2F1%3Fx%3D1%23f");
  EXPECT_EQ(http::encode_path_segment("50% off"), "50%25%20off");
  EXPECT_EQ(http::encode_path_segment("é"), "%C3%A9");
  EXPECT_EQ(http::encode_path_segment(""), "");
  // Whole "." and ".." segments would be collapsed as steps by proxies on the way.
  EXPECT_EQ(http::encode_path_segment("."), "%2E");
  EXPECT_EQ(http::encode_path_segment(".."), "%2E%2E");
  EXPECT_EQ(http::encode_path_segment("..."), "...");
  EXPECT_EQ(http::encode_query({{"a b", "c+d"}, {"k", ""}}), "a+b=c%2Bd&k=");
}

TEST(HttpEncoding, TextPrefixCountsCharactersNotBytes) {
  EXPECT_EQ(http::text_prefix("abcdef", 3), "abc");
  EXPECT_EQ(http::text_prefix("ab", 3), "ab");
  EXPECT_EQ(http::text_prefix("đàn ông", 2), "đà");  // two-byte characters stay whole
  EXPECT_EQ(http::text_prefix("", 0), "");
}
