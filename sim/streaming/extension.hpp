#pragma once
// tolbu-sim's streaming side on the HTTP server's port: the server hands every WebSocket
// upgrade on "/connection/websocket" to accept_websocket. The hub (streaming/hub.hpp) checks
// the --jwt token on connect, keeps subscriptions, pings, and publishes the exchange's events;
// test endpoints under "/_sim/streaming/" publish, send raw frames, drop connections and run
// publication series.

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "server/context.hpp"
#include "streaming/hub.hpp"

namespace tolbu_sim {

void accept_websocket(boost::beast::tcp_stream&& stream,
                      boost::beast::http::request<boost::beast::http::string_body>&& request,
                      SimContext& context);

// The hub installed in the context (null before the streaming extension ran).
std::shared_ptr<streaming::Hub> streaming_hub(SimContext& context);

}  // namespace tolbu_sim
