// The process's one-time logging set-up and the SDK's logger names.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_sdk::utils {

namespace {

// Set at the end of a complete setup_logging run.
std::atomic<bool> _configured{false};
// Set-up normally runs once at start-up on one thread; the lock keeps two racing first
// calls from attaching two sets of handlers.
std::mutex setup_mutex;

constexpr std::array<const char*, 3> kStreamingLoggers{"tolbu_sdk.features.streaming", "websockets",
                                                       "centrifuge"};

// Creates the folder of a log file; a failure is reported, and the file's opening then fails.
void _ensure_dir(const std::string& path) {
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (dir.empty() || std::filesystem::exists(dir, ec)) return;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    const std::string text =
        fmt::format("Failed to create log directory {}: {}\n", dir.string(), ec.message());
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
  }
}

std::shared_ptr<logging::RotatingFileHandler> file_handler(const std::string& path,
                                                           std::uint64_t max_bytes,
                                                           int backup_count, int level) {
  _ensure_dir(path);
  auto handler = std::make_shared<logging::RotatingFileHandler>(path, max_bytes, backup_count);
  handler->set_level(level);
  handler->set_formatter(std::make_shared<DetailedFormatter>());
  return handler;
}

bool named(const std::optional<std::string>& file) { return file && !file->empty(); }

}  // namespace

void setup_logging(const LoggingOptions& options) {
  std::lock_guard lock(setup_mutex);
  if (_configured.load(std::memory_order_acquire)) return;

  std::string upper(options.level);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const std::optional<int> level = logging::level_from_name(upper);
  if (!level)
    throw ValueError(fmt::format(
        "Unknown log level '{}': expected DEBUG, INFO, WARNING, ERROR or CRITICAL", options.level));
  if (options.max_size_mb < 0)
    throw ValueError(fmt::format("max_size_mb must not be negative, got {}", options.max_size_mb));
  if (options.backup_count < 0)
    throw ValueError(
        fmt::format("backup_count must not be negative, got {}", options.backup_count));
  const std::uint64_t max_bytes = static_cast<std::uint64_t>(options.max_size_mb) * 1024 * 1024;

  logging::Logger& root = logging::root_logger();
  root.set_level(*level);
  // Removed, not closed: whoever else holds them may go on using them.
  root.clear_handlers();

  std::shared_ptr<logging::StreamHandler> console;
  if (options.console) {
    console = std::make_shared<logging::StreamHandler>(1);
    console->set_level(logging::DEBUG);
    console->set_formatter(std::make_shared<ColoredFormatter>());
    root.add_handler(console);
  }
  if (named(options.log_file))
    root.add_handler(
        file_handler(*options.log_file, max_bytes, options.backup_count, logging::DEBUG));
  if (named(options.warn_log_file))
    root.add_handler(
        file_handler(*options.warn_log_file, max_bytes, options.backup_count, logging::WARNING));
  if (named(options.stream_log_file)) {
    auto stream =
        file_handler(*options.stream_log_file, max_bytes, options.backup_count, logging::DEBUG);
    for (const char* name : kStreamingLoggers) {
      logging::Logger& logger = logging::get_logger(name);
      logger.set_level(logging::DEBUG);
      logger.add_handler(stream);
      logger.set_propagate(false);
      if (console) logger.add_handler(console);
    }
  }
  _configured.store(true, std::memory_order_release);
}

void setup_logging(std::string_view level, std::optional<std::string> log_file,
                   std::optional<std::string> warn_log_file,
                   std::optional<std::string> stream_log_file, bool console, int max_size_mb,
                   int backup_count) {
  setup_logging(LoggingOptions{std::string(level), std::move(log_file), std::move(warn_log_file),
                               std::move(stream_log_file), console, max_size_mb, backup_count});
}

logging::Logger& get_logger(std::string_view name) {
  if (!_configured.load(std::memory_order_acquire)) setup_logging();
  if (name == "tolbu") return logging::get_logger("tolbu_sdk.core");
  return logging::get_logger(fmt::format("tolbu_sdk.{}", name));
}

bool logging_configured() { return _configured.load(std::memory_order_acquire); }

void reset_logging_for_tests() {
  std::lock_guard lock(setup_mutex);
  logging::reset_for_tests();
  _configured.store(false, std::memory_order_release);
}

}  // namespace tolbu_sdk::utils
