// Text forms of the event contexts, as log lines show them.

#include <fmt/format.h>
#include <boost/json/serialize.hpp>

#include "tolbu_sdk/platform/centrifuge.hpp"

namespace tolbu_sdk::platform::centrifuge {

namespace json = boost::json;

namespace {

const char* flag(bool b) { return b ? "true" : "false"; }

std::string info_text(const ClientInfo& info) {
  return fmt::format("ClientInfo(user='{}', client='{}', conn_info={}, chan_info={})", info.user,
                     info.client, json::serialize(info.conn_info), json::serialize(info.chan_info));
}

}  // namespace

std::string_view to_string(ClientState state) noexcept {
  switch (state) {
    case ClientState::DISCONNECTED:
      return "disconnected";
    case ClientState::CONNECTING:
      return "connecting";
    case ClientState::CONNECTED:
      return "connected";
  }
  return "unknown";
}

std::string_view to_string(SubscriptionState state) noexcept {
  switch (state) {
    case SubscriptionState::UNSUBSCRIBED:
      return "unsubscribed";
    case SubscriptionState::SUBSCRIBING:
      return "subscribing";
    case SubscriptionState::SUBSCRIBED:
      return "subscribed";
  }
  return "unknown";
}

bool is_terminal_disconnect(std::uint32_t code) noexcept {
  return (code >= 3500 && code < 4000) || (code >= 4500 && code < 5000);
}

std::string ConnectingContext::to_string() const {
  return fmt::format("ConnectingContext(code={}, reason='{}')", code, reason);
}

std::string ConnectedContext::to_string() const {
  return fmt::format(
      "ConnectedContext(client='{}', version='{}', transport='{}', data={}, expires={}, ttl={})",
      client, version, transport, json::serialize(data), flag(expires), ttl);
}

std::string DisconnectedContext::to_string() const {
  return fmt::format("DisconnectedContext(code={}, reason='{}', reconnect={})", code, reason,
                     flag(reconnect));
}

std::string ErrorContext::to_string() const {
  return fmt::format("ErrorContext(type='{}', code={}, message='{}', temporary={})", type, code,
                     message, flag(temporary));
}

std::string MessageContext::to_string() const {
  return fmt::format("MessageContext(data={})", json::serialize(data));
}

json::object Publication::to_json() const {
  json::object out;
  if (data) out["data"] = *data;
  out["offset"] = offset;
  if (info) {
    out["info"] = json::object{{"user", info->user},
                               {"client", info->client},
                               {"conn_info", info->conn_info},
                               {"chan_info", info->chan_info}};
  }
  if (!tags.empty()) {
    json::object t;
    for (const auto& [k, v] : tags) t[k] = v;
    out["tags"] = std::move(t);
  }
  if (time != 0) out["time"] = time;
  return out;
}

std::vector<std::string> PublicationContext::member_names() const {
  std::vector<std::string> names{"channel"};
  if (data) names.emplace_back("data");
  if (pub) names.emplace_back("pub");
  return names;
}

std::string PublicationContext::to_string() const {
  return fmt::format("PublicationContext(channel='{}', data={}, pub={})", channel,
                     data ? json::serialize(*data) : std::string("<absent>"),
                     pub ? json::serialize(pub->to_json()) : std::string("<absent>"));
}

std::string SubscribingContext::to_string() const {
  return fmt::format("SubscribingContext(channel='{}', code={}, reason='{}')", channel, code,
                     reason);
}

std::string SubscribedContext::to_string() const {
  return fmt::format(
      "SubscribedContext(channel='{}', recoverable={}, positioned={}, offset={}, epoch='{}', "
      "was_resubscribed={}, was_recovering={}, recovered={}, recovered_publications={}, data={})",
      channel, flag(recoverable), flag(positioned), offset, epoch, flag(was_resubscribed),
      flag(was_recovering), flag(recovered), recovered_publications, json::serialize(data));
}

std::string UnsubscribedContext::to_string() const {
  return fmt::format("UnsubscribedContext(channel='{}', code={}, reason='{}')", channel, code,
                     reason);
}

std::string SubscriptionErrorContext::to_string() const {
  return fmt::format(
      "SubscriptionErrorContext(channel='{}', type='{}', code={}, message='{}', temporary={})",
      channel, type, code, message, flag(temporary));
}

std::string JoinContext::to_string() const {
  return fmt::format("JoinContext(channel='{}', info={})", channel, info_text(info));
}

std::string LeaveContext::to_string() const {
  return fmt::format("LeaveContext(channel='{}', info={})", channel, info_text(info));
}

}  // namespace tolbu_sdk::platform::centrifuge
