// Handlers: size rotation with shifted backups, lines on disk at once, failures reported
// instead of thrown, and threads writing without broken or lost lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <system_error>
#include <thread>

#include "test_support.hpp"
#include "tolbu_sdk/errors.hpp"

namespace logging = tolbu_sdk::logging;
namespace fs = std::filesystem;
using tolbu_test::CapturedFd;
using tolbu_test::lines_of;
using tolbu_test::read_file;
using tolbu_test::TempDir;

namespace {

logging::LogRecord info_record(std::string_view message) {
  return {.name = "test", .levelno = logging::INFO, .levelname = "INFO", .message = message};
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string numbered(int i) { return fmt::format("line-{:04}", i); }  // 10 bytes with its feed

TEST(RotatingFileHandler, RotatesBeforePassingTheLimitAndDropsTheOldest) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  logging::RotatingFileHandler h(path, 30, 2);
  for (int i = 1; i <= 10; ++i) {
    h.handle(info_record(numbered(i)));
    EXPECT_TRUE(read_file(path).ends_with(numbered(i) + "\n")) << i;  // on disk at once
  }
  EXPECT_EQ(read_file(path + ".2"), "line-0004\nline-0005\nline-0006\n");
  EXPECT_EQ(read_file(path + ".1"), "line-0007\nline-0008\nline-0009\n");
  EXPECT_EQ(read_file(path), "line-0010\n");
  EXPECT_FALSE(fs::exists(path + ".3"));

  // A line longer than the limit goes whole into a fresh file.
  const std::string big(40, 'x');
  h.handle(info_record(big));
  h.handle(info_record(big));
  EXPECT_EQ(read_file(path + ".1"), big + "\n");
  EXPECT_EQ(read_file(path + ".2"), "line-0010\n");
}

TEST(RotatingFileHandler, AppendsToAnExistingFileAndCountsItsSize) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  std::ofstream(path) << "previous run 0123456789\n";  // 24 bytes
  {
    logging::RotatingFileHandler h(path, 30, 1);
    h.handle(info_record("abcde"));  // 30 bytes: fits exactly
    h.handle(info_record("f"));
  }
  EXPECT_EQ(read_file(path + ".1"), "previous run 0123456789\nabcde\n");
  EXPECT_EQ(read_file(path), "f\n");
}

TEST(RotatingFileHandler, ZeroLimitOrNoBackupsNeverRotate) {
  TempDir dir;
  logging::RotatingFileHandler unlimited(dir.file("a.log"), 0, 3),
      nowhere(dir.file("b.log"), 10, 0);
  for (int i = 0; i < 20; ++i) {
    unlimited.handle(info_record(numbered(i)));
    nowhere.handle(info_record(numbered(i)));
  }
  EXPECT_EQ(lines_of(read_file(dir.file("a.log"))).size(), 20u);
  EXPECT_EQ(lines_of(read_file(dir.file("b.log"))).size(), 20u);
  EXPECT_FALSE(fs::exists(dir.file("a.log.1")) || fs::exists(dir.file("b.log.1")));
}

TEST(RotatingFileHandler, OpenFailureThrowsWithTheFileName) {
  TempDir dir;
  const std::string path = dir.file("missing/x.log");
  EXPECT_THAT([&] { logging::RotatingFileHandler(path, 0, 0); },
              ::testing::ThrowsMessage<std::system_error>(::testing::HasSubstr(path)));
  EXPECT_THROW(logging::RotatingFileHandler(dir.file("y.log"), 10, -1), tolbu_sdk::ValueError);
}

// Fails on purpose, to check that the facility reports instead of throwing.
struct ThrowingFormatter : logging::Formatter {
  std::string format(const logging::LogRecord&) const override {
    throw std::runtime_error("bad layout");
  }
};

TEST(Handler, FailuresAreReportedOnStandardErrorAndLinesKept) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  fs::create_directories(path + ".1/blocker");  // renaming onto a non-empty folder fails
  CapturedFd err(2);
  {
    logging::RotatingFileHandler h(path, 20, 1);
    for (int i = 0; i < 6; ++i) h.handle(info_record(numbered(i)));
  }
  logging::StreamHandler closed(12345);  // not an open descriptor
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(closed.handle(info_record("lost cause")));
  tolbu_test::MemoryHandler memory;
  memory.set_formatter(std::make_shared<ThrowingFormatter>());
  EXPECT_NO_THROW(memory.handle(info_record("unformattable")));

  EXPECT_EQ(lines_of(read_file(path)).size(), 6u);
  const std::string errors = err.text();
  EXPECT_NE(errors.find("--- Logging error ---\ncannot rotate " + path + ": "), std::string::npos)
      << errors;
  // A console failing on every line is reported once.
  EXPECT_NE(errors.find("write failed: Bad file descriptor on descriptor 12345 (later failures of "
                        "this output are not reported) while logging 'lost cause' from test"),
            std::string::npos)
      << errors;
  EXPECT_EQ(occurrences(errors, "Bad file descriptor"), 1u) << errors;
  EXPECT_NE(errors.find("bad layout while logging 'unformattable'"), std::string::npos) << errors;
}

// strategy | head -1: the console's reader goes away while the strategy logs on.
TEST(StreamHandler, ClosedPipeNeitherEndsTheProcessNorCostsAFileLine) {
  // The default action whatever the test runner inherited: death of this test.
  const auto previous_action = std::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  TempDir dir;
  CapturedFd err(2);
  logging::Logger& log = logging::get_logger("test.closed_pipe");
  log.set_propagate(false);
  log.add_handler(std::make_shared<logging::StreamHandler>(fds[1]));
  log.add_handler(std::make_shared<logging::RotatingFileHandler>(dir.file("main.log")));
  for (int i = 0; i < 3; ++i) log.warning("line {}", i);
  log.clear_handlers();
  ::close(fds[1]);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool left_pending = sigismember(&pending, SIGPIPE) == 1;
  std::signal(SIGPIPE, previous_action);

  EXPECT_EQ(lines_of(read_file(dir.file("main.log"))),
            (tolbu_test::Lines{"line 0", "line 1", "line 2"}));
  const std::string errors = err.text();
  EXPECT_EQ(occurrences(errors, "--- Logging error ---"), 1u) << errors;
  EXPECT_NE(errors.find("Broken pipe on descriptor " + std::to_string(fds[1]) +
                        " (its reader has gone; no more lines go to it)"),
            std::string::npos)
      << errors;
  EXPECT_FALSE(left_pending);
}

// Threads through one logger into a rotating file: every line whole, none lost, each
// thread's lines in order, every file within the limit.
TEST(RotatingFileHandler, ThreadsNeitherBreakNorLoseLines) {
  logging::reset_for_tests();
  TempDir dir;
  const std::string path = dir.file("threads.log");
  constexpr int kThreads = 4, kLines = 3000;
  constexpr std::uint64_t kLimit = 64 * 1024;
  auto handler = std::make_shared<logging::RotatingFileHandler>(path, kLimit, 100);
  logging::Logger& log = logging::get_logger("threads");
  log.set_level(logging::DEBUG);
  log.add_handler(handler);
  const std::string padding(120, '.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) log.info("t{} n{:05} {} end", t, i, padding);
    });
  for (auto& th : threads) th.join();
  logging::reset_for_tests();

  std::vector<int> next(kThreads, 0);
  int files = 0;
  for (int i = 100; i >= 0; --i) {  // oldest first, so each thread's numbers rise
    const std::string name = i == 0 ? path : fmt::format("{}.{}", path, i);
    if (!fs::exists(name)) continue;
    ++files;
    const std::string text = read_file(name);
    EXPECT_LE(text.size(), kLimit);
    for (const std::string& line : lines_of(text)) {
      int t = -1, n = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "t%d n%d", &t, &n), 2) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(line, fmt::format("t{} n{:05} {} end", t, next[t]++, padding));
    }
  }
  EXPECT_GT(files, 3);
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

}  // namespace
