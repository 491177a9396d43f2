#pragma once
// Logging configuration for Tolbu Algo SDK.
// Provides detailed logging with colors, file rotation, and formatted output.
//
//   tolbu_sdk::utils::setup_logging("INFO");       // or setup_logging({.console = false})
//   tolbu_sdk::utils::StrategyLogger log("alpha");  // the logger tolbu_sdk.strategy.alpha
//   log.info("Warm-up done after {} bars", n);
//   log.order("buy", "VN30F2406", 2, 1250.5);

#include <fmt/core.h>

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/utils/defaults.hpp"

#include "tolbu_sdk/platform/detail/level_macros_push.hpp"

namespace tolbu_sdk::utils {

// ANSI color codes for terminal output.
struct TOLBU_API Colors {
  // @name Escape sequences
  //@{
  // Reset, bold, one colour per level, then those of times, logger names, buys, sells,
  // profits and losses.
  static constexpr char RESET[] = "\x1b[0m";
  static constexpr char BOLD[] = "\x1b[1m";
  static constexpr char DEBUG[] = "\x1b[36m";
  static constexpr char INFO[] = "\x1b[32m";
  static constexpr char WARNING[] = "\x1b[33m";
  static constexpr char ERROR[] = "\x1b[31m";
  static constexpr char CRITICAL[] = "\x1b[35m";
  static constexpr char TIMESTAMP[] = "\x1b[90m";
  static constexpr char NAME[] = "\x1b[34m";
  static constexpr char BUY[] = "\x1b[32m";
  static constexpr char SELL[] = "\x1b[31m";
  static constexpr char PROFIT[] = "\x1b[32m";
  static constexpr char LOSS[] = "\x1b[31m";
  //@}
};

// Formatter with ANSI colors for console output.
class TOLBU_API ColoredFormatter : public logging::Formatter {
 public:
  // The colour of each level's name on the console.
  static constexpr std::array<std::pair<int, const char*>, 5> LEVEL_COLORS{{
      {logging::DEBUG, Colors::DEBUG},
      {logging::INFO, Colors::INFO},
      {logging::WARNING, Colors::WARNING},
      {logging::ERROR, Colors::ERROR},
      {logging::CRITICAL, Colors::CRITICAL},
  }};

  ColoredFormatter();
  // Grey time, coloured level padded to 8, blue logger name, then the message, joined by
  // " | "; exception information on the following lines.
  std::string format(const logging::LogRecord& record) const override;
};

// Detailed formatter for file logging.
class TOLBU_API DetailedFormatter : public logging::Formatter {
 public:
  // Time with milliseconds, level padded to 8, logger name and message, joined by " | ".
  static constexpr char LAYOUT[] =
      "%(asctime)s.%(msecs)03d | %(levelname)-8s | %(name)s | %(message)s";
  // Date part of the time, as in LAYOUT.
  static constexpr char DATE_LAYOUT[] = "%Y-%m-%d %H:%M:%S";
  DetailedFormatter();
};

// The arguments of setup_logging, for designated initialisation.
struct TOLBU_API LoggingOptions {
  // Level name of the least severe records kept (DEBUG to CRITICAL, any letter case).
  std::string level = DEFAULT_LOG_LEVEL;
  // The main log file; absent or empty: none.
  std::optional<std::string> log_file = DEFAULT_LOG_FILE;
  // The file of WARNING and worse; absent or empty: none.
  std::optional<std::string> warn_log_file = DEFAULT_WARN_LOG_FILE;
  // The streaming loggers' own file; absent or empty: none.
  std::optional<std::string> stream_log_file = DEFAULT_STREAM_LOG_FILE;
  // Whether records go to the console too.
  bool console = true;
  // Size in MiB at which a file rotates (0: never).
  int max_size_mb = DEFAULT_LOG_MAX_SIZE_MB;
  // Rotated files kept per log file.
  int backup_count = DEFAULT_LOG_BACKUP_COUNT;
};

// Configures the process's logging once: coloured console, rotating main file, a file of
// warnings and worse, and a file of its own for the streaming loggers ("tolbu_sdk.features.
// streaming", "websockets", "centrifuge"), which then reach nothing else but the console.
// Every call after the first complete one does nothing. An absent or empty file name turns
// that output off. Throws ValueError for an unknown level name (any letter case of DEBUG,
// INFO, WARNING, ERROR, CRITICAL is known) or a negative size or count, before changing
// anything; std::system_error when a file cannot be opened, after which a later call starts
// again.
TOLBU_API void setup_logging(std::string_view level = DEFAULT_LOG_LEVEL,
                             std::optional<std::string> log_file = DEFAULT_LOG_FILE,
                             std::optional<std::string> warn_log_file = DEFAULT_WARN_LOG_FILE,
                             std::optional<std::string> stream_log_file = DEFAULT_STREAM_LOG_FILE,
                             bool console = true, int max_size_mb = DEFAULT_LOG_MAX_SIZE_MB,
                             int backup_count = DEFAULT_LOG_BACKUP_COUNT);
// The same with the arguments in one object.
TOLBU_API void setup_logging(const LoggingOptions& options);

// The logger "tolbu_sdk." + name ("tolbu" gives "tolbu_sdk.core"); runs the default
// setup_logging first if none has completed, and lets its errors through.
TOLBU_API logging::Logger& get_logger(std::string_view name);

// Whether a complete setup_logging run has happened.
TOLBU_API bool logging_configured();

// For tests only: resets the logging facility (logging::reset_for_tests) and forgets that
// setup_logging ran, so that one process can exercise the setup more than once.
TOLBU_API void reset_logging_for_tests();

// Enhanced logger for strategy/robot with trading-specific methods.
class TOLBU_API StrategyLogger {
 public:
  // Uses the logger "tolbu_sdk.strategy." + strategy_name, setting up logging if needed.
  explicit StrategyLogger(std::string strategy_name);

  // Log debug message. (And likewise below: fmt-style substitution by the facility; the
  // variants taking an exception render it below the line.)
  template <typename... Args>
  void debug(fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log(logging::DEBUG, msg, std::forward<Args>(args)...);
  }
  // The same with the exception `exc` rendered below the line.
  template <typename... Args>
  void debug(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::DEBUG, std::move(exc), msg, std::forward<Args>(args)...);
  }
  // Log info message.
  template <typename... Args>
  void info(fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log(logging::INFO, msg, std::forward<Args>(args)...);
  }
  // The same with the exception `exc` rendered below the line.
  template <typename... Args>
  void info(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::INFO, std::move(exc), msg, std::forward<Args>(args)...);
  }
  // Log warning message.
  template <typename... Args>
  void warning(fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log(logging::WARNING, msg, std::forward<Args>(args)...);
  }
  // The same with the exception `exc` rendered below the line.
  template <typename... Args>
  void warning(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::WARNING, std::move(exc), msg, std::forward<Args>(args)...);
  }
  // Log error message.
  template <typename... Args>
  void error(fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log(logging::ERROR, msg, std::forward<Args>(args)...);
  }
  // The same with the exception `exc` rendered below the line.
  template <typename... Args>
  void error(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::ERROR, std::move(exc), msg, std::forward<Args>(args)...);
  }
  // Log critical message.
  template <typename... Args>
  void critical(fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log(logging::CRITICAL, msg, std::forward<Args>(args)...);
  }
  // The same with the exception `exc` rendered below the line.
  template <typename... Args>
  void critical(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::CRITICAL, std::move(exc), msg, std::forward<Args>(args)...);
  }
  // ERROR with exception information.
  template <typename... Args>
  void exception(std::exception_ptr exc, fmt::format_string<Args...> msg, Args&&... args) {
    _logger->log_exc(logging::ERROR, std::move(exc), msg, std::forward<Args>(args)...);
  }

  // Log order action. INFO: "ORDER: BUY ABC 100@150.25", the action coloured as a buy
  // (BUY, LONG) or a sell.
  void order(std::string_view action, std::string_view symbol, std::int64_t qty, double price);
  // Log trade execution. INFO: "TRADE: sell ABC 100@151.0 P&L: +75.00"; no P&L part when
  // pnl is zero.
  void trade(std::string_view symbol, std::string_view side, std::int64_t qty, double price,
             double pnl = 0.0);
  // Log position change. INFO: "POSITION LONG: ABC 100@150.0 P&L: +0.00".
  void position(std::string_view action, std::string_view symbol, std::int64_t qty, double entry,
                double pnl = 0.0);
  // Log bar data (debug level). "BAR: ABC O=150.0 H=151.5 L=149.75 C=151.0 V=900.0".
  void bar(std::string_view symbol, double o, double h, double l, double c, double v);
  // Log risk management event. WARNING: "RISK: " + msg, taken as plain text.
  void risk(std::string_view msg);

  // The logger it writes to.
  logging::Logger& logger() const { return *_logger; }

 private:
  logging::Logger* _logger;

 public:
  // The name it was made with.
  std::string strategy_name;
};

}  // namespace tolbu_sdk::utils

#include "tolbu_sdk/platform/detail/level_macros_pop.hpp"
