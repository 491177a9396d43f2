#pragma once
// The process-wide hierarchical logging facility: dotted logger names, levels with
// inheritance, propagation to the parent's handlers, handlers with their own level and
// formatter. Every module logs through it; tolbu_sdk/utils/journal.hpp configures it.
//
//   auto& log = tolbu_sdk::logging::get_logger("tolbu_sdk.features.orders");
//   log.info("Placing order: {} {}", side, symbol);
//   log.exception(std::current_exception(), "Callback failed for {}", channel);
//
// A disabled level costs one relaxed atomic load: no formatting, no allocation. The facility
// lives in tolbu_sdk::platform::logging beside the other platform layers; tolbu_sdk::logging
// names the same namespace.

#include <fmt/core.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolbu_sdk/platform/detail/level_macros_push.hpp"
#include "tolbu_sdk/platform/export.hpp"

// The process-wide hierarchical logging facility, also named tolbu_sdk::logging.
namespace tolbu_sdk::platform::logging {

// No level of its own: a logger defers to its parent, a handler passes everything.
inline constexpr int NOTSET = 0;
// Detail for diagnosing a problem.
inline constexpr int DEBUG = 10;
// Normal operation worth a line.
inline constexpr int INFO = 20;
// Something unexpected; the work goes on. The root logger's default level.
inline constexpr int WARNING = 30;
// An operation failed.
inline constexpr int ERROR = 40;
// The program may not be able to go on.
inline constexpr int CRITICAL = 50;

// "DEBUG", ..., "CRITICAL"; other numbers read "Level 25".
TOLBU_API std::string level_name(int level);
// The level of an upper-case name among the five above; absent for any other text.
TOLBU_API std::optional<int> level_from_name(std::string_view name);

// One log event as handlers and formatters see it; its texts live only during the call.
struct TOLBU_API LogRecord {
  std::string_view name;  // logger name
  // The event's level.
  int levelno = 0;
  // The level's name ("INFO").
  std::string_view levelname;
  std::int64_t created_ms = 0;            // creation time, Unix milliseconds
  std::string_view message;               // arguments already substituted
  std::exception_ptr exc_info = nullptr;  // optional exception
};

// Turns a LogRecord into one line, in a printf-like layout of named fields.
class TOLBU_API Formatter {
 public:
  // Layout fields: %(asctime)s, %(msecs)03d, %(levelname)s, %(levelname)-8s, %(name)s,
  // %(message)s, %(levelno)s (and %(created)f); "%%" is a literal percent sign. Flags "-" and
  // "0", a width and a precision work as in printf. Date layout in strftime form, read in
  // local time. An unknown field or a malformed layout throws ValueError here, not per record.
  explicit Formatter(std::string fmt = "%(levelname)s:%(name)s:%(message)s",
                     std::string datefmt = "%Y-%m-%d %H:%M:%S");
  virtual ~Formatter();
  // Copies the layouts.
  Formatter(const Formatter&);
  // Takes the layouts of `other`.
  Formatter& operator=(const Formatter&);
  // The record's line: the layout filled in, then any exception on the following lines.
  virtual std::string format(const LogRecord& record) const;
  // The record's creation time in the date layout, local time.
  std::string format_time(const LogRecord& record) const;
  // The exception's type and message, as appended below a record's line; nested exceptions
  // (std::throw_with_nested) follow on "Caused by: " lines. Empty for a null pointer.
  static std::string format_exception(const std::exception_ptr& exc);

  // The line layout it was made with.
  const std::string& layout() const { return fmt_; }
  // The date layout it was made with.
  const std::string& date_layout() const { return datefmt_; }

 protected:
  // Appends the record's line in this formatter's layout, without exception information.
  void format_layout(const LogRecord& record, std::string& out) const;
  // Appends the creation time in the date layout (cached per thread for the current second).
  void append_time(const LogRecord& record, std::string& out) const;

 private:
  struct Piece;
  std::string fmt_;
  std::string datefmt_;
  std::vector<Piece> pieces_;
  std::uint64_t id_;  // keys the per-thread date cache
};

// Where records go: a level filter, a formatter, and emit() in a derived class.
class TOLBU_API Handler {
 public:
  Handler();
  virtual ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Records below `level` are dropped (NOTSET: none).
  void set_level(int level) { level_.store(level, std::memory_order_relaxed); }
  // The level set with set_level().
  int level() const { return level_.load(std::memory_order_relaxed); }
  // The formatter of every line from now on (null: the bare message).
  void set_formatter(std::shared_ptr<const Formatter> formatter);
  // The formatter in use; null when none.
  std::shared_ptr<const Formatter> formatter() const;

  // Formats and writes the record if its level passes; one line is never split. A failure
  // to format or write is reported on standard error, never thrown into the caller. Without
  // a formatter the line is the bare message.
  void handle(const LogRecord& record);

 protected:
  // Writes one formatted line (without its line feed); called under the handler's mutex, so
  // it must not log through the facility itself.
  virtual void emit(std::string_view line) = 0;

 private:
  std::atomic<int> level_{NOTSET};
  mutable std::mutex mutex_;
  std::shared_ptr<const Formatter> formatter_;
};

// Writes to standard output (or another file descriptor), flushed at every line. A failing
// output never ends the process: a pipe whose reader has gone (strategy | head -1) raises no
// SIGPIPE, and the handler stops writing to it. Only the first failure is reported on
// standard error, and other handlers still get every record.
class TOLBU_API StreamHandler : public Handler {
 public:
  // Writes to file descriptor `fd` (1: standard output).
  explicit StreamHandler(int fd = 1);

 protected:
  void emit(std::string_view line) override;

 private:
  int fd_;
  bool guard_sigpipe_;   // a pipe, socket or unknown descriptor
  bool failed_ = false;  // the first failure has been reported
  bool closed_ = false;  // broken pipe: nothing more is written
};

// Appends to a file and rotates it before a write that would pass max_bytes: FILE.1 ...
// FILE.N shifted, the oldest dropped. max_bytes 0 never rotates, nor does backup_count 0
// (there would be nowhere to keep the old lines); a line longer than the limit still goes
// into a fresh file. Throws std::system_error when the file cannot be opened, ValueError for
// a negative backup_count. A failed rotation keeps writing to the current file.
class TOLBU_API RotatingFileHandler : public Handler {
 public:
  // Appends to `filename`; rotates past `max_bytes`, keeping `backup_count` old files.
  RotatingFileHandler(std::string filename, std::uint64_t max_bytes = 0, int backup_count = 0);
  ~RotatingFileHandler() override;
  // The file written to.
  const std::string& filename() const { return filename_; }

 protected:
  void emit(std::string_view line) override;

 private:
  void rotate();
  static void write_line(int fd, std::string_view line);
  std::string filename_;
  std::uint64_t max_bytes_;
  int backup_count_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// A named logger: filters by level and passes records to its handlers and its ancestors'.
class TOLBU_API Logger {
 public:
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The dotted name ("tolbu_sdk.features.orders"); "root" for the root.
  const std::string& name() const { return name_; }
  // The parent in the dotted hierarchy; null for the root.
  Logger* parent() const { return parent_; }

  // Records below `level` are dropped (NOTSET: the parent's level decides).
  void set_level(int level);
  // The level set on this logger (NOTSET when none).
  int level() const { return level_.load(std::memory_order_relaxed); }
  // The nearest level set on this logger or an ancestor (the root's when none is).
  int effective_level() const { return effective_.load(std::memory_order_relaxed); }
  // Whether a record at `level` would be handled: the cheap test before building one.
  bool is_enabled_for(int level) const {
    return level >= effective_.load(std::memory_order_relaxed);
  }

  // A handler is attached once; adding it again does nothing.
  void add_handler(std::shared_ptr<Handler> handler);
  // Detaches `handler`; nothing happens when it is not attached.
  void remove_handler(const std::shared_ptr<Handler>& handler);
  // Detaches every handler of this logger.
  void clear_handlers();
  // The handlers attached to this logger (not its ancestors').
  std::vector<std::shared_ptr<Handler>> handlers() const;
  // Whether this logger has a handler of its own.
  bool has_handlers() const;

  // Whether records go on to the ancestors' handlers too (on by default).
  void set_propagate(bool propagate) { propagate_.store(propagate, std::memory_order_relaxed); }
  // Whether records go on to the ancestors' handlers.
  bool propagate() const { return propagate_.load(std::memory_order_relaxed); }

  // A record at `level`, the message formatted by {fmt} from `f` and `args`.
  template <typename... Args>
  void log(int level, fmt::format_string<Args...> f, Args&&... args) {
    if (is_enabled_for(level)) emit_formatted(level, nullptr, f, fmt::make_format_args(args...));
  }
  // log() at DEBUG.
  template <typename... Args>
  void debug(fmt::format_string<Args...> f, Args&&... args) {
    log(DEBUG, f, std::forward<Args>(args)...);
  }
  // log() at INFO.
  template <typename... Args>
  void info(fmt::format_string<Args...> f, Args&&... args) {
    log(INFO, f, std::forward<Args>(args)...);
  }
  // log() at WARNING.
  template <typename... Args>
  void warning(fmt::format_string<Args...> f, Args&&... args) {
    log(WARNING, f, std::forward<Args>(args)...);
  }
  // log() at ERROR.
  template <typename... Args>
  void error(fmt::format_string<Args...> f, Args&&... args) {
    log(ERROR, f, std::forward<Args>(args)...);
  }
  // log() at CRITICAL.
  template <typename... Args>
  void critical(fmt::format_string<Args...> f, Args&&... args) {
    log(CRITICAL, f, std::forward<Args>(args)...);
  }
  // A record carrying exception information, rendered below the line.
  template <typename... Args>
  void log_exc(int level, std::exception_ptr exc, fmt::format_string<Args...> f, Args&&... args) {
    if (is_enabled_for(level)) emit_formatted(level, &exc, f, fmt::make_format_args(args...));
  }
  // ERROR with exception information.
  template <typename... Args>
  void exception(std::exception_ptr exc, fmt::format_string<Args...> f, Args&&... args) {
    log_exc(ERROR, std::move(exc), f, std::forward<Args>(args)...);
  }
  // A message that is already text (no substitution).
  void log_text(int level, std::string_view message, std::exception_ptr exc = nullptr);

 private:
  using HandlerList = std::vector<std::shared_ptr<Handler>>;
  friend class Registry;
  Logger(std::string name, Logger* parent);
  void emit_formatted(int level, const std::exception_ptr* exc, fmt::string_view f,
                      fmt::format_args args);
  void dispatch(int level, std::string_view message, const std::exception_ptr& exc);
  std::shared_ptr<const HandlerList> handler_snapshot() const;

  std::string name_;
  Logger* parent_;
  std::atomic<int> level_{NOTSET};
  // Kept current by the registry whenever this logger's or an ancestor's level changes, so
  // the enabled check is a single load.
  std::atomic<int> effective_{NOTSET};
  std::atomic<bool> propagate_{true};
  mutable std::mutex handlers_mutex_;
  // Replaced, never mutated: a record being dispatched keeps the list it started with.
  std::shared_ptr<const HandlerList> handlers_;
  // The list's size, so that records pass loggers without handlers without locking.
  std::atomic<std::size_t> handler_count_{0};
};

// The one logger of a dotted name for the whole process; "" or "root" is the root logger.
// Loggers live until the process ends, so the reference stays valid.
TOLBU_API Logger& get_logger(std::string_view name);
// The root logger: get_logger("").
TOLBU_API Logger& root_logger();

// For tests only: detaches every handler from every logger, unsets every level (the root
// goes back to WARNING) and turns propagation back on, so one process can configure the
// facility more than once. Loggers themselves stay, and references to them stay valid.
TOLBU_API void reset_for_tests();

}  // namespace tolbu_sdk::platform::logging

namespace tolbu_sdk {
namespace logging = platform::logging;
}  // namespace tolbu_sdk

#include "tolbu_sdk/platform/detail/level_macros_pop.hpp"
