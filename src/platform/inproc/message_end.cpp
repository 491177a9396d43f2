#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <deque>

#include "tolbu_sdk/platform/inproc.hpp"

namespace tolbu_sdk::platform::inproc {

namespace asio = boost::asio;

// Both directions of one connection. Everything runs on one loop: a reader that finds its
// queue empty waits on its timer, which a send cancels.
struct MessageEnd::Link {
  explicit Link(const asio::io_context::executor_type& ex) : wake{asio::steady_timer(ex),
                                                                  asio::steady_timer(ex)} {}
  std::deque<std::string> inbox[2];  // inbox[s]: messages for side s
  asio::steady_timer wake[2];
  std::optional<Closed> closed_by[2];  // the close side s sent
  bool aborted = false;

  bool ended() const { return aborted || closed_by[0] || closed_by[1]; }
  void wake_both() {
    wake[0].cancel();
    wake[1].cancel();
  }
};

MessageEnd::MessageEnd(std::shared_ptr<Link> link, int side) : link_(std::move(link)), side_(side) {}

MessageEnd::~MessageEnd() { abort(); }

asio::awaitable<std::string_view> MessageEnd::read() {
  auto link = link_;  // the reader keeps the connection alive while it waits
  auto& inbox = link->inbox[side_];
  for (;;) {
    if (!inbox.empty() && !link->aborted) {
      current_ = std::move(inbox.front());
      inbox.pop_front();
      co_return std::string_view(current_);
    }
    if (link->aborted) throw boost::system::system_error(asio::error::connection_aborted);
    if (link->ended()) throw boost::system::system_error(asio::error::eof);
    link->wake[side_].expires_at(asio::steady_timer::time_point::max());
    co_await link->wake[side_].async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

bool MessageEnd::send(std::string message) {
  auto& link = *link_;
  if (link.aborted || link.closed_by[0] || link.closed_by[1]) return false;
  const int other = 1 - side_;
  link.inbox[other].push_back(std::move(message));
  link.wake[other].cancel();
  return true;
}

void MessageEnd::close(std::uint16_t code, std::string reason) {
  auto& link = *link_;
  if (link.aborted || link.closed_by[side_]) return;
  link.closed_by[side_] = Closed{true, code, std::move(reason)};
  link.wake_both();
}

void MessageEnd::abort() noexcept {
  if (!link_ || link_->aborted) return;
  link_->aborted = true;
  link_->wake_both();
}

const MessageEnd::Closed& MessageEnd::peer_close() const noexcept {
  static const Closed none;
  // A close answers a close: the side that closed first sees its own code echoed.
  if (link_->closed_by[1 - side_]) return *link_->closed_by[1 - side_];
  if (link_->closed_by[side_]) return *link_->closed_by[side_];
  return none;
}

bool MessageEnd::is_open() const noexcept { return !link_->ended(); }

std::pair<std::shared_ptr<MessageEnd>, std::shared_ptr<MessageEnd>> connect_pair(
    asio::io_context::executor_type executor) {
  auto link = std::make_shared<MessageEnd::Link>(executor);
  return {std::make_shared<MessageEnd>(link, 0), std::make_shared<MessageEnd>(link, 1)};
}

}  // namespace tolbu_sdk::platform::inproc
