// The hub: its listeners, publication series and the operations tests and the sim call.

#include "streaming/hub_state.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tolbu_sim::streaming {

namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;

// A client's backlog is what the hub queues plus what the kernel holds for it: the send
// buffer is kept within the backlog so that a slow reader meets the limit, not the kernel.
void tune(const Hub::State& state, tcp::socket& socket) {
  beast::error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  asio::socket_base::send_buffer_size size;
  socket.get_option(size, ec);
  if (!ec && static_cast<std::size_t>(size.value()) > state.options.max_pending_bytes) {
    socket.set_option(
        asio::socket_base::send_buffer_size(static_cast<int>(state.options.max_pending_bytes)), ec);
  }
}

namespace {

asio::awaitable<void> accept_loop(StatePtr state, std::shared_ptr<tcp::acceptor> acceptor,
                                  std::shared_ptr<ssl::context> tls) {
  for (;;) {
    beast::error_code ec;
    tcp::socket socket =
        co_await acceptor->async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      if (state->closed || ec == asio::error::operation_aborted) co_return;
      continue;
    }
    tune(*state, socket);
    if (tls) {
      asio::co_spawn(state->ex, serve_tls(state, std::move(socket), tls), asio::detached);
    } else {
      asio::co_spawn(state->ex, serve_plain(state, std::move(socket)), asio::detached);
    }
  }
}

std::uint16_t open_listener(const StatePtr& state, const std::string& host, std::uint16_t port,
                            std::shared_ptr<ssl::context> tls) {
  auto acceptor = std::make_shared<tcp::acceptor>(state->ex);
  tcp::endpoint endpoint(asio::ip::make_address(host), port);
  acceptor->open(endpoint.protocol());
  acceptor->set_option(asio::socket_base::reuse_address(true));
  acceptor->bind(endpoint);
  acceptor->listen(asio::socket_base::max_listen_connections);
  state->acceptors.push_back(acceptor);
  asio::co_spawn(state->ex, accept_loop(state, acceptor, std::move(tls)), asio::detached);
  return acceptor->local_endpoint().port();
}

asio::awaitable<void> run_series(StatePtr state, std::uint64_t id, Series series,
                                 std::function<void(std::uint64_t)> done) {
  auto timer = state->series.at(id);
  std::uint64_t sent = 0;
  const auto start = Clock::now();
  beast::error_code ec;
  auto publish_one = [&] {
    state->publish(series.channel, series.make(sent));
    ++sent;
  };
  while (sent < series.count && !state->closed && !ec) {
    if (series.rate <= 0) {
      for (int i = 0; i < 256 && sent < series.count; ++i) publish_one();
      // Let the writers drain before the next batch; a slow client is waited for.
      while (state->max_pending(series.channel) > kSeriesBackpressure && !state->closed) {
        timer->expires_after(std::chrono::microseconds(200));
        co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;
      }
      co_await asio::post(state->ex, asio::use_awaitable);
      continue;
    }
    const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    auto due = static_cast<std::uint64_t>(elapsed * series.rate) + 1;
    due = std::min(due, series.count);
    while (sent < due) publish_one();
    if (sent >= series.count) break;
    const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(double(sent) / series.rate));
    timer->expires_at(next);
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  state->series.erase(id);
  if (done) done(sent);
}

}  // namespace

json::object HubStats::to_json() const {
  json::object subs;
  for (const auto& [channel, n] : subscribers) subs[channel] = n;
  json::array names;
  for (const auto& n : client_names) names.emplace_back(n);
  return json::object{
      {"sessions", sessions},       {"connected", connected}, {"connects", connects},
      {"deliveries", deliveries},   {"pongs", pongs},         {"refreshes", refreshes},
      {"recovered", recovered},     {"streams", streams},     {"subscribers", std::move(subs)},
      {"clients", std::move(names)}};
}

Hub::Hub(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::shared_ptr<Hub> Hub::create(asio::any_io_executor executor, HubOptions options) {
  return std::shared_ptr<Hub>(
      new Hub(std::make_shared<State>(std::move(executor), std::move(options))));
}

Hub::~Hub() { close(); }

void Hub::accept(beast::tcp_stream stream, http::request<http::string_body> request) {
  if (state_->closed) return;
  tune(*state_, stream.socket());
  start_plain_session(state_, std::move(stream), std::move(request));
}

void Hub::accept_inproc(std::shared_ptr<tolbu_sdk::platform::inproc::MessageEnd> end) {
  if (state_->closed) return;  // the end, dropped, aborts the connection
  start_inproc_session(state_, std::move(end));
}

std::uint16_t Hub::listen(const std::string& host, std::uint16_t port) {
  return open_listener(state_, host, port, nullptr);
}

std::uint16_t Hub::listen_tls(const std::string& host, std::uint16_t port,
                              std::shared_ptr<ssl::context> tls) {
  return open_listener(state_, host, port, std::move(tls));
}

void Hub::close() {
  auto& s = *state_;
  s.closed = true;
  beast::error_code ec;
  for (auto& a : s.acceptors) a->close(ec);
  s.acceptors.clear();
  for (auto& [id, timer] : s.series) timer->cancel();
  std::vector<SessionBase*> all;
  for (auto& [id, session] : s.sessions) all.push_back(session);
  for (auto* session : all) session->abort();
}

std::size_t Hub::publish(std::string_view channel, const json::value& data) {
  return state_->publish(channel, json::serialize(data));
}

std::size_t Hub::publish_text(std::string_view channel, std::string_view data_json) {
  return state_->publish(channel, data_json);
}

void Hub::publish_withheld(std::string_view channel, const json::value& data) {
  state_->publish(channel, json::serialize(data), true);
}

std::size_t Hub::server_subscribe(std::string_view channel) {
  std::vector<SessionBase*> targets;
  for (auto& [id, session] : state_->sessions) {
    if (session->connected && !session->channels.contains(channel)) targets.push_back(session);
  }
  for (auto* session : targets) {
    state_->join(session, channel);
    session->push(std::string(R"({"push":{"channel":)") + quoted(channel) + R"(,"subscribe":)" +
                  state_->subscribe_result(channel, nullptr) + "}}");
  }
  return targets.size();
}

std::size_t Hub::restart() {
  state_->streams.clear();
  return drop_all(std::nullopt, "restart");
}

std::string Hub::mint_token(std::chrono::milliseconds ttl) const {
  return state_->options.token + "~" + std::to_string(system_ms() + ttl.count());
}

std::size_t Hub::send_raw(std::string frame, std::optional<std::string> channel) {
  std::size_t n = 0;
  for (auto& [id, session] : state_->sessions) {
    if (!session->connected) continue;
    if (channel && !session->channels.contains(*channel)) continue;
    session->push_frame(frame);
    ++n;
  }
  return n;
}

std::size_t Hub::drop_all(std::optional<std::uint16_t> code, std::string reason) {
  std::vector<SessionBase*> all;
  for (auto& [id, session] : state_->sessions) all.push_back(session);
  for (auto* session : all) {
    if (code) {
      session->close_with(*code, reason);
    } else {
      session->abort();
    }
  }
  return all.size();
}

std::size_t Hub::unsubscribe_all(std::string_view channel, std::uint32_t code, std::string reason) {
  auto it = state_->channels.find(channel);
  if (it == state_->channels.end()) return 0;
  const auto members = it->second;
  const std::string text = std::string(R"({"push":{"channel":)") + quoted(channel) +
                           R"(,"unsubscribe":{"code":)" + std::to_string(code) + R"(,"reason":)" +
                           quoted(reason) + "}}}";
  for (auto* s : members) {
    s->push(text);
    state_->leave(s, channel);
  }
  return members.size();
}

std::uint64_t Hub::start_series(Series series, std::function<void(std::uint64_t)> done) {
  const auto id = state_->next_series++;
  state_->series.emplace(id, std::make_shared<asio::steady_timer>(state_->ex));
  asio::co_spawn(state_->ex, run_series(state_, id, std::move(series), std::move(done)),
                 asio::detached);
  return id;
}

void Hub::on_rpc(RpcHandler handler) { state_->rpc = std::move(handler); }

bool Hub::has_subscribers(std::string_view channel) const {
  return state_->channels.find(channel) != state_->channels.end();
}

HubOptions& Hub::options() { return state_->options; }

HubStats Hub::stats() const {
  HubStats out;
  out.sessions = state_->sessions.size();
  for (const auto& [id, s] : state_->sessions) {
    if (!s->connected) continue;
    ++out.connected;
    out.client_names.push_back(s->name);
  }
  for (const auto& [channel, members] : state_->channels) out.subscribers[channel] = members.size();
  out.connects = state_->connects;
  out.deliveries = state_->deliveries;
  out.pongs = state_->pongs;
  out.refreshes = state_->refreshes;
  out.recovered = state_->recovered;
  out.streams = state_->streams.size();
  return out;
}

}  // namespace tolbu_sim::streaming
