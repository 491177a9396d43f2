// The HTTP client's response reading: whatever a server sends back (status line, headers,
// chunked or sized body, a redirect, a connection cut short) ends as a Response or a
// TransportError, never as anything else, and the body is never more than was sent.

#include "fuzz_check.hpp"
#include "loopback.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"

#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

using namespace tolbu_sdk;
namespace http = tolbu_sdk::platform::http;
using namespace std::chrono_literals;

struct Peers {
  tolbu_fuzz::ScriptedServer server;
  http::Client pooled{{.connect_timeout = 2000ms, .stall_timeout = 2000ms,
                       .max_response_bytes = 1 << 20}};
  http::Client fresh{{.connect_timeout = 2000ms, .stall_timeout = 2000ms,
                      .reuse_connections = false, .max_response_bytes = 1 << 20}};
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v2/x?a=1";
};

Peers& peers() {
  static auto* p = new Peers;  // lives to the end: its threads may still be busy at exit
  return *p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto& p = peers();
  const auto flags = data[0];
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  p.server.reply(reply);
  http::Client& client = (flags & 1) ? p.fresh : p.pooled;
  try {
    http::Response r;
    if (flags & 2) {
      const boost::json::value body = {{"symbol", "VN30F1M"}, {"qty", 1}};
      r = client.request("POST", p.url, {{"Authorization", "Bearer t"}}, &body);
    } else {
      r = client.get(p.url);
    }
    FUZZ_CHECK(r.status_code >= 100 && r.status_code <= 999);
    FUZZ_CHECK(r.text.size() <= reply.size());
    (void)r.header("content-type");
    try {
      (void)r.json();
    } catch (const ValueError&) {
    }
  } catch (const TransportError&) {
  }
  return 0;
}
