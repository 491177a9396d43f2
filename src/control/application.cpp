#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk {

Application::EventLoop::Scope::Scope(EventLoop& loop) noexcept : loop_(loop) {
  loop_.runners_.fetch_add(1, std::memory_order_acq_rel);
}

Application::EventLoop::Scope::~Scope() { loop_.runners_.fetch_sub(1, std::memory_order_acq_rel); }

void Application::EventLoop::attach(boost::asio::io_context* context) noexcept {
  context_.store(context, std::memory_order_release);
}

boost::asio::io_context* Application::EventLoop::get() const noexcept {
  return context_.load(std::memory_order_acquire);
}

bool Application::EventLoop::is_running(std::chrono::milliseconds patience) const {
  return call_if_running([] {}, patience);
}

bool Application::EventLoop::call_if_running(std::function<void()> fn,
                                             std::chrono::milliseconds patience) const {
  auto* context = get();
  if (context == nullptr || context->stopped()) return false;
  if (runners_.load(std::memory_order_acquire) > 0 ||
      context->get_executor().running_in_this_thread()) {
    boost::asio::post(*context, std::move(fn));
    return true;
  }
  // A plain io_context::run() leaves no trace outside the loop: hand it the call and see
  // whether it starts it. Whoever decides first, the loop or the wait giving up, decides for
  // good, so fn runs either promptly or never.
  struct Claim {
    std::mutex mutex;
    std::condition_variable started;
    bool ran = false;
    bool given_up = false;
  };
  auto claim = std::make_shared<Claim>();
  boost::asio::post(*context, [claim, fn = std::move(fn)] {
    {
      std::lock_guard lock(claim->mutex);
      if (claim->given_up) return;
      claim->ran = true;
    }
    claim->started.notify_all();
    fn();
  });
  std::unique_lock lock(claim->mutex);
  if (claim->started.wait_for(lock, patience, [&] { return claim->ran; })) return true;
  claim->given_up = true;
  return false;
}

std::size_t Application::EventLoop::run() {
  auto* context = get();
  if (context == nullptr) return 0;
  Scope running(*this);
  return context->run();
}

void Application::EventLoop::call_soon_threadsafe(std::function<void()> fn) const {
  auto* context = get();
  if (context == nullptr) throw RuntimeError("No event loop attached");
  boost::asio::post(*context, std::move(fn));
}

void Application::StopEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void Application::StopEvent::clear() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool Application::StopEvent::is_set() const {
  std::lock_guard lock(mutex_);
  return set_;
}

void Application::StopEvent::wait() const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return set_; });
}

bool Application::StopEvent::wait_for(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}

Application::StatusText& Application::StatusText::operator=(std::string text) {
  std::lock_guard lock(mutex_);
  text_ = std::move(text);
  return *this;
}

std::string Application::StatusText::get() const {
  std::lock_guard lock(mutex_);
  return text_;
}

bool Application::StatusText::operator==(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return text_ == text;
}

}  // namespace tolbu_sdk
