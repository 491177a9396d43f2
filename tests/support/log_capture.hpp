#pragma once
// Collects the lines one logger writes while it lives, as "LEVEL:name:message".

#include "tolbu_sdk/platform/logging.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_test {

class LogCapture {
 public:
  explicit LogCapture(std::string logger_name, int level = tolbu_sdk::logging::DEBUG)
      : logger_(tolbu_sdk::logging::get_logger(logger_name)),
        previous_level_(logger_.level()),
        handler_(std::make_shared<Sink>()) {
    handler_->set_formatter(
        std::make_shared<tolbu_sdk::logging::Formatter>("%(levelname)s:%(name)s:%(message)s"));
    logger_.set_level(level);
    logger_.add_handler(handler_);
  }
  ~LogCapture() {
    logger_.remove_handler(handler_);
    logger_.set_level(previous_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const { return handler_->lines(); }
  // Lines of one level ("INFO", "ERROR", ...), without the "LEVEL:name:" prefix.
  std::vector<std::string> messages(const std::string& level) const {
    std::vector<std::string> out;
    std::string prefix = level + ":" + logger_.name() + ":";
    for (auto& line : lines()) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
  }
  bool contains(const std::string& level, const std::string& message) const {
    auto all = messages(level);
    return std::find(all.begin(), all.end(), message) != all.end();
  }
  // Lines containing `part`.
  std::vector<std::string> matching(std::string_view part) const {
    std::vector<std::string> out;
    for (auto& line : lines())
      if (line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }
  std::size_t count(std::string_view part) const { return matching(part).size(); }
  // Whether a line containing `part` arrives within the timeout (0: already there), for lines
  // logged from another thread.
  bool has(std::string_view part,
           std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) const {
    return handler_->wait_for(part, timeout);
  }
  void clear() { handler_->clear(); }

 private:
  class Sink : public tolbu_sdk::logging::Handler {
   public:
    std::vector<std::string> lines() const {
      std::lock_guard lock(mutex_);
      return lines_;
    }
    void clear() {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    bool wait_for(std::string_view part, std::chrono::milliseconds timeout) const {
      std::unique_lock lock(mutex_);
      return logged_.wait_for(lock, timeout, [&] {
        for (const auto& line : lines_)
          if (line.find(part) != std::string::npos) return true;
        return false;
      });
    }

   protected:
    void emit(std::string_view line) override {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
      logged_.notify_all();
    }

   private:
    mutable std::mutex mutex_;
    mutable std::condition_variable logged_;
    std::vector<std::string> lines_;
  };

  tolbu_sdk::logging::Logger& logger_;
  int previous_level_;
  std::shared_ptr<Sink> handler_;
};

}  // namespace tolbu_test
