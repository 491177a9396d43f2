#pragma once
// Small helpers of the suites that run TolbuStream against the tolbu-sim process.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/json.hpp>

#include <cstdlib>
#include <string>

#include "sim_process.hpp"
#include "tolbu_sdk/config.hpp"

namespace tolbu_test {

inline tolbu_sdk::TolbuConfig config_for(const SimProcess& sim) {
  tolbu_sdk::TolbuConfig config;
  config.streaming_ws = sim.ws_url();
  config.jwt_token = sim.jwt();
  return config;
}

inline boost::json::object streaming_stats(const SimProcess& sim) {
  auto reply = sim.get("/_sim/streaming/stats");
  return reply.status == 200 ? boost::json::parse(reply.body).as_object() : boost::json::object{};
}

inline std::size_t subscribers(const SimProcess& sim, const std::string& channel) {
  auto stats = streaming_stats(sim);
  const auto* all = stats.if_contains("subscribers");
  const auto* n = all && all->is_object() ? all->as_object().if_contains(channel) : nullptr;
  return n ? static_cast<std::size_t>(n->to_number<std::int64_t>()) : 0;
}

inline void publish(const SimProcess& sim, const std::string& channel,
                    const boost::json::value& data) {
  auto reply =
      sim.post("/_sim/streaming/publish",
               boost::json::serialize(boost::json::object{{"channel", channel}, {"data", data}}));
  EXPECT_EQ(reply.status, 200) << reply.body;
}

// A POST to the sim's REST side with the bearer token, which the sim process's own client
// does not send; the answer's status, or 0 when there was none.
inline int post_authorized(const SimProcess& sim, const std::string& path) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(sim.port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string out = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                            "Authorization: Bearer " + sim.jwt() + "\r\n" +
                            "Connection: close\r\nContent-Length: 0\r\n\r\n";
    ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    char buffer[512];
    const auto n = ::recv(fd, buffer, sizeof buffer - 1, 0);
    if (n > 12) status = std::atoi(buffer + 9);
  }
  ::close(fd);
  return status;
}

}  // namespace tolbu_test
