// Loggers in a dotted-name hierarchy: one object per name, levels inherited from the nearest
// ancestor that sets one, records handed up the chain while propagation allows.
#include <unistd.h>

#include <fmt/format.h>

#include <chrono>
#include <map>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::platform::logging {

// Owns every logger; never destroyed, so loggers outlive any static object that logs.
class Registry {
 public:
  static Registry& instance() {
    static Registry* registry = new Registry();
    return *registry;
  }

  Logger& root() { return *root_; }

  Logger& get(std::string_view name) {
    if (name.empty() || name == "root") return *root_;
    std::lock_guard lock(mutex_);
    return get_locked(name);
  }

  void set_level(Logger& logger, int level) {
    std::lock_guard lock(mutex_);
    logger.level_.store(level, std::memory_order_relaxed);
    refresh_effective_levels();
  }

  void reset() {
    std::lock_guard lock(mutex_);
    const auto reset_one = [](Logger& logger, int level) {
      logger.clear_handlers();
      logger.level_.store(level, std::memory_order_relaxed);
      logger.set_propagate(true);
    };
    reset_one(*root_, WARNING);
    for (auto& [name, logger] : loggers_) reset_one(*logger, NOTSET);
    refresh_effective_levels();
  }

 private:
  Registry() : root_(new Logger("root", nullptr)) {
    root_->level_.store(WARNING, std::memory_order_relaxed);
    root_->effective_.store(WARNING, std::memory_order_relaxed);
  }

  static int compute_effective(const Logger& logger) {
    for (const Logger* l = &logger; l != nullptr; l = l->parent_) {
      const int level = l->level_.load(std::memory_order_relaxed);
      if (level != NOTSET || l->parent_ == nullptr) return level;
    }
    return NOTSET;
  }

  // Rare (set-up time), so every logger is recomputed rather than tracking descendants.
  void refresh_effective_levels() {
    root_->effective_.store(compute_effective(*root_), std::memory_order_relaxed);
    for (auto& [name, logger] : loggers_)
      logger->effective_.store(compute_effective(*logger), std::memory_order_relaxed);
  }

  Logger& get_locked(std::string_view name) {
    if (auto it = loggers_.find(name); it != loggers_.end()) return *it->second;
    // Ancestors are real loggers: unset level, no handlers, propagating.
    Logger* parent = root_;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) parent = &get_locked(name.substr(0, dot));
    auto logger = std::unique_ptr<Logger>(new Logger(std::string(name), parent));
    logger->effective_.store(compute_effective(*logger), std::memory_order_relaxed);
    Logger& ref = *logger;
    loggers_.emplace(ref.name_, std::move(logger));
    return ref;
  }

  std::mutex mutex_;
  Logger* root_;
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers_;
};

Logger::Logger(std::string name, Logger* parent)
    : name_(std::move(name)), parent_(parent), handlers_(std::make_shared<const HandlerList>()) {}

void Logger::set_level(int level) { Registry::instance().set_level(*this, level); }

void Logger::add_handler(std::shared_ptr<Handler> handler) {
  if (!handler) throw ValueError("add_handler: handler must not be null");
  std::lock_guard lock(handlers_mutex_);
  for (const auto& h : *handlers_)
    if (h == handler) return;
  auto next = std::make_shared<HandlerList>(*handlers_);
  next->push_back(std::move(handler));
  handler_count_.store(next->size(), std::memory_order_release);
  handlers_ = std::move(next);
}

void Logger::remove_handler(const std::shared_ptr<Handler>& handler) {
  std::lock_guard lock(handlers_mutex_);
  auto next = std::make_shared<HandlerList>();
  for (const auto& h : *handlers_)
    if (h != handler) next->push_back(h);
  handler_count_.store(next->size(), std::memory_order_release);
  handlers_ = std::move(next);
}

void Logger::clear_handlers() {
  std::lock_guard lock(handlers_mutex_);
  handler_count_.store(0, std::memory_order_release);
  handlers_ = std::make_shared<const HandlerList>();
}

std::vector<std::shared_ptr<Handler>> Logger::handlers() const { return *handler_snapshot(); }

bool Logger::has_handlers() const { return handler_count_.load(std::memory_order_acquire) != 0; }

std::shared_ptr<const Logger::HandlerList> Logger::handler_snapshot() const {
  std::lock_guard lock(handlers_mutex_);
  return handlers_;
}

void Logger::log_text(int level, std::string_view message, std::exception_ptr exc) {
  if (is_enabled_for(level)) dispatch(level, message, exc);
}

void Logger::emit_formatted(int level, const std::exception_ptr* exc, fmt::string_view f,
                            fmt::format_args args) {
  fmt::memory_buffer message;
  fmt::vformat_to(fmt::appender(message), f, args);
  static const std::exception_ptr none;
  dispatch(level, std::string_view(message.data(), message.size()), exc ? *exc : none);
}

void Logger::dispatch(int level, std::string_view message, const std::exception_ptr& exc) {
  const std::string levelname = level_name(level);  // short enough to need no allocation
  LogRecord record;
  record.name = name_;
  record.levelno = level;
  record.levelname = levelname;
  record.created_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  record.message = message;
  record.exc_info = exc;

  std::size_t found = 0;
  for (const Logger* logger = this; logger != nullptr; logger = logger->parent_) {
    if (logger->handler_count_.load(std::memory_order_acquire) != 0) {
      const auto handlers = logger->handler_snapshot();
      found += handlers->size();
      for (const auto& handler : *handlers) handler->handle(record);
    }
    if (!logger->propagate()) break;
  }
  if (found == 0 && level >= WARNING) {
    // Nobody configured logging: warnings and errors must not vanish silently.
    std::string line(message);
    if (exc) line += '\n' + Formatter::format_exception(exc);
    line += '\n';
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
  }
}

Logger& get_logger(std::string_view name) { return Registry::instance().get(name); }

Logger& root_logger() { return Registry::instance().root(); }

void reset_for_tests() { Registry::instance().reset(); }

}  // namespace tolbu_sdk::platform::logging
