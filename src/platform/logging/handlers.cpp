// Handlers: level and formatter per handler, a standard-output stream, a size-rotating file.
// Every line goes to the OS in one write under the handler's mutex, so threads never
// interleave and a crashing process keeps what it logged.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <system_error>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::platform::logging {

namespace {

// Writes every byte, retrying short writes and interrupted calls.
void write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write failed");
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// One write(2) per line: copying the line next to its line feed is far cheaper than the
// kernel's writev path, and keeps the line whole for readers of the file.
void write_line_to(int fd, std::string_view line) {
  thread_local std::string buffer;
  buffer.assign(line);
  buffer += '\n';
  write_fully(fd, buffer.data(), buffer.size());
  if (buffer.capacity() > 64 * 1024) std::string().swap(buffer);  // do not pin a huge line
}

// A write to a pipe or socket whose reader has gone raises SIGPIPE, which ends the process by
// default. Holding the signal back on this thread turns it into EPIPE; a SIGPIPE the write
// raised is then taken off the thread's pending set, so the process-wide disposition is
// never touched.
template <class Write>
void without_sigpipe(Write write) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const auto settle = [&](bool broke) {
    if (broke && !was_pending) {
      const timespec now{};
      while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  };
  try {
    write();
  } catch (const std::system_error& e) {
    settle(e.code().value() == EPIPE);
    throw;
  }
  settle(false);
}

// The facility never throws into the code that logs; it says what went wrong on stderr.
void report_failure(std::string_view what) {
  const std::string text = fmt::format("--- Logging error ---\n{}\n", what);
  try {
    without_sigpipe([&] { write_fully(2, text.data(), text.size()); });
  } catch (const std::system_error&) {
    // Standard error is gone too: nowhere left to say it.
  }
}

// Pipes, sockets and anything unknown can raise SIGPIPE; terminals, files and /dev/null
// cannot, and skip the signal mask calls.
bool may_raise_sigpipe(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return true;
  return !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode);
}

const Formatter& bare_message_formatter() {
  static const Formatter* formatter = new Formatter("%(message)s");
  return *formatter;
}

}  // namespace

Handler::Handler() = default;
Handler::~Handler() = default;

void Handler::set_formatter(std::shared_ptr<const Formatter> formatter) {
  std::lock_guard lock(mutex_);
  formatter_ = std::move(formatter);
}

std::shared_ptr<const Formatter> Handler::formatter() const {
  std::lock_guard lock(mutex_);
  return formatter_;
}

void Handler::handle(const LogRecord& record) {
  if (record.levelno < level()) return;
  try {
    std::lock_guard lock(mutex_);
    const Formatter& f = formatter_ ? *formatter_ : bare_message_formatter();
    const std::string line = f.format(record);
    emit(line);
  } catch (const std::exception& e) {
    report_failure(
        fmt::format("{} while logging '{}' from {}", e.what(), record.message, record.name));
  } catch (...) {
    report_failure(fmt::format("unknown error while logging from {}", record.name));
  }
}

StreamHandler::StreamHandler(int fd) : fd_(fd), guard_sigpipe_(may_raise_sigpipe(fd)) {}

void StreamHandler::emit(std::string_view line) {
  if (closed_) return;
  try {
    if (guard_sigpipe_)
      without_sigpipe([&] { write_line_to(fd_, line); });
    else
      write_line_to(fd_, line);
  } catch (const std::system_error& e) {
    // A reader that has gone does not come back; other failures may pass, but a console that
    // fails on every line must not flood standard error.
    if (e.code().value() == EPIPE) closed_ = true;
    if (failed_) return;
    failed_ = true;
    throw std::runtime_error(fmt::format("{} on descriptor {} ({})", e.what(), fd_,
                                         closed_
                                             ? "its reader has gone; no more lines go to it"
                                             : "later failures of this output are not reported"));
  }
}

RotatingFileHandler::RotatingFileHandler(std::string filename, std::uint64_t max_bytes,
                                         int backup_count)
    : filename_(std::move(filename)), max_bytes_(max_bytes), backup_count_(backup_count) {
  if (backup_count < 0)
    throw ValueError(fmt::format("backup_count must not be negative, got {}", backup_count));
  fd_ = ::open(filename_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw std::system_error(errno, std::generic_category(),
                            fmt::format("cannot open log file '{}'", filename_));
  struct stat st {};
  if (::fstat(fd_, &st) == 0) size_ = static_cast<std::uint64_t>(st.st_size);
}

RotatingFileHandler::~RotatingFileHandler() {
  if (fd_ >= 0) ::close(fd_);
}

void RotatingFileHandler::write_line(int fd, std::string_view line) { write_line_to(fd, line); }

void RotatingFileHandler::emit(std::string_view line) {
  const std::uint64_t bytes = line.size() + 1;
  // An empty file takes the line whatever its length: rotating would only churn backups.
  if (max_bytes_ > 0 && backup_count_ > 0 && size_ > 0 && size_ + bytes > max_bytes_) rotate();
  write_line(fd_, line);
  size_ += bytes;
}

void RotatingFileHandler::rotate() {
  // Renames first, with the current file still open: if anything fails, lines keep going
  // to the open descriptor and nothing is lost. The size restarts from zero either way, so
  // after a failure the next attempt waits for another limit's worth of lines instead of
  // failing on every line.
  size_ = 0;
  const auto name = [this](int i) { return fmt::format("{}.{}", filename_, i); };
  const auto fail = [](const std::string& what, int err) {
    report_failure(fmt::format("{}: {}", what, std::generic_category().message(err)));
  };
  for (int i = backup_count_ - 1; i >= 1; --i) {
    const std::string from = name(i);
    if (::access(from.c_str(), F_OK) != 0) continue;
    if (::rename(from.c_str(), name(i + 1).c_str()) != 0)
      return fail("cannot rotate " + from, errno);
  }
  // rename replaces FILE.1 (already moved on, or the oldest when backup_count is 1).
  if (::rename(filename_.c_str(), name(1).c_str()) != 0 && errno != ENOENT)
    return fail("cannot rotate " + filename_, errno);
  // ENOENT: the file was removed behind our back; start a new one all the same.
  const int fresh = ::open(filename_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fresh < 0) return fail("cannot reopen " + filename_ + " after rotation", errno);
  ::close(fd_);
  fd_ = fresh;
}

}  // namespace tolbu_sdk::platform::logging
