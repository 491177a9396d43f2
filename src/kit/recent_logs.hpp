#pragma once
// The newest log lines in memory, formatted like the log file, for "/logs".

#include <boost/json/array.hpp>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::kit {

class RecentLogs : public logging::Handler {
 public:
  explicit RecentLogs(std::size_t capacity = 1000) : capacity_(capacity) {}
  // The newest `limit` lines, oldest first; none for a limit below 1.
  boost::json::array lines(std::int64_t limit) const {
    std::lock_guard lock(mutex_);
    boost::json::array out;
    if (limit <= 0) return out;
    const std::size_t n = std::min(lines_.size(), static_cast<std::size_t>(limit));
    for (auto it = lines_.end() - static_cast<std::ptrdiff_t>(n); it != lines_.end(); ++it)
      out.emplace_back(*it);
    return out;
  }

 protected:
  void emit(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
    if (lines_.size() > capacity_) lines_.pop_front();
  }

 private:
  std::size_t capacity_;
  mutable std::mutex mutex_;  // emit runs on any thread, lines() on the control thread
  std::deque<std::string> lines_;
};

}  // namespace tolbu_sdk::kit
