#include "pool.hpp"

namespace tolbu_sdk::platform::http::detail {

std::unique_ptr<Connection> Lane::take(const std::string& key) {
  std::lock_guard lock(mutex_);
  for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
    if ((*it)->key() == key) {
      auto connection = std::move(*it);
      idle_.erase(std::next(it).base());
      return connection;
    }
  }
  return nullptr;
}

void Lane::give(std::unique_ptr<Connection> connection, std::size_t max) {
  std::unique_lock lock(mutex_);
  if (loop_gone_ || idle_.size() >= max) {
    lock.unlock();
    return;  // closed by the destructor, outside the lock
  }
  idle_.push_back(std::move(connection));
}

void Lane::clear(bool loop_gone) {
  std::vector<std::unique_ptr<Connection>> closing;
  std::lock_guard lock(mutex_);
  if (loop_gone) loop_gone_ = true;
  closing.swap(idle_);
}

bool Lane::loop_gone() {
  std::lock_guard lock(mutex_);
  return loop_gone_;
}

LaneRegistry::LaneRegistry(boost::asio::execution_context& context) : service(context) {}

void LaneRegistry::add(const std::shared_ptr<Lane>& lane) {
  std::lock_guard lock(mutex_);
  std::erase_if(lanes_, [](const std::weak_ptr<Lane>& l) { return l.expired(); });
  lanes_.push_back(lane);
}

void LaneRegistry::shutdown() {
  std::vector<std::weak_ptr<Lane>> lanes;
  {
    std::lock_guard lock(mutex_);
    lanes.swap(lanes_);
  }
  for (auto& weak : lanes) {
    if (auto lane = weak.lock()) lane->clear(true);
  }
}

}  // namespace tolbu_sdk::platform::http::detail
