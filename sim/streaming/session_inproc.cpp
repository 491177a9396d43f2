// Sessions over an in-process connection: the protocol side of every session, with whole
// messages handed over in memory instead of WebSocket frames on a socket.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include "streaming/hub_state.hpp"
#include "tolbu_sdk/platform/inproc.hpp"

namespace tolbu_sim::streaming {

namespace {

using tolbu_sdk::platform::inproc::MessageEnd;

class InprocSession final : public SessionBase {
 public:
  InprocSession(StatePtr hub, std::shared_ptr<MessageEnd> end)
      : SessionBase(std::move(hub)), end_(std::move(end)) {}

  static asio::awaitable<void> run(std::shared_ptr<InprocSession> self) {
    auto& hub = *self->hub_;
    hub.add(self.get());
    try {
      for (;;) {
        const std::string_view text = co_await self->end_->read();
        if (self->dead_) break;
        // What the commands queue goes out together once they are handled, without another
        // turn of the loop: a backtest step is one frame each way.
        self->handling_ = true;
        self->handle_frame(text);
        self->handling_ = false;
        if (self->writing_) self->flush();
      }
    } catch (const std::exception& e) {
      hub.note("in-process session ", self->id, " ended: ", e.what());
    }
    self->finish();
    self->end_->abort();
    hub.remove(self.get());
  }

  void abort() noexcept override {
    if (dead_) return;
    dead_ = true;
    end_->abort();
    ping_timer_.cancel();
  }

 private:
  // What a handler queues goes out together once it returns, as the socket's writer would
  // batch it.
  void start_writer() override {
    if (writing_) return;
    writing_ = true;
    if (handling_) return;  // flushed when the frame is handled
    asio::post(hub_->ex,
               [self = std::static_pointer_cast<InprocSession>(shared_from_this())] {
                 self->flush();
               });
  }

  void flush() {
    if (!writing_) return;
    writing_ = false;
    while (!frames_.empty() && !dead_) {
      end_->send(std::move(frames_.front()));
      frames_.pop_front();
    }
    last_open_ = false;
    pending_ = 0;
    if (close_ && !close_sent_ && !dead_) {
      close_sent_ = true;
      end_->close(close_->first, close_->second);
    }
  }

  std::shared_ptr<MessageEnd> end_;
  bool handling_ = false;
};

}  // namespace

void start_inproc_session(const StatePtr& state, std::shared_ptr<MessageEnd> end) {
  auto s = std::make_shared<InprocSession>(state, std::move(end));
  asio::co_spawn(state->ex, InprocSession::run(s), asio::detached);
}

}  // namespace tolbu_sim::streaming
