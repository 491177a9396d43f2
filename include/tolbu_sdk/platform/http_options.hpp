#pragma once
// The settings of the SDK's HTTP client (tolbu_sdk/platform/http.hpp), apart from the client
// itself so that the services' headers can take them without Beast and Asio.

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"

// The SDK's HTTP/1.1 client and its settings.
namespace tolbu_sdk::platform::http {

// Request headers and query parameters: sent in insertion order.
using Headers = std::vector<std::pair<std::string, std::string>>;
// Query parameters, likewise.
using Params = std::vector<std::pair<std::string, std::string>>;

// Timeouts, connection reuse, size limits and TLS checks of the HTTP client.
struct TOLBU_API Options {
  // Time allowed to connect and complete the TLS handshake (name resolution is bounded by
  // the system resolver).
  std::chrono::milliseconds connect_timeout{10'000};
  // Once connected, an exchange fails when no byte moves for this long.
  std::chrono::milliseconds stall_timeout{30'000};
  // Once connected, an exchange fails when its answer is not complete this long after the
  // request started going out, however steadily bytes trickle in. Long enough for an order.
  std::chrono::milliseconds total_timeout{60'000};
  // False opens a fresh connection for every call and closes it afterwards.
  bool reuse_connections = true;
  // Idle connections kept for reuse, per loop or calling thread.
  std::size_t max_idle_connections = 8;
  // Larger answers fail with TransportError instead of exhausting memory; an exchange holds
  // about this much at most, chunked answers included. The largest real answers (years of
  // candles) are a few MB.
  std::size_t max_response_bytes = std::size_t{64} << 20;
  // Peer verification against the system's CA store with a host-name check.
  bool verify_tls = true;
  // A PEM file of CA certificates trusted instead of the system's (private deployments).
  std::string ca_file = {};
};

}  // namespace tolbu_sdk::platform::http
