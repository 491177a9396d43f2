// Handlers: size rotation with shifted backups, writes that reach the file at once, failures
// reported instead of thrown, and several threads writing without broken or lost lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "test_support.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace logging = tolbu_sdk::logging;
namespace fs = std::filesystem;
using tolbu_test::CapturedFd;
using tolbu_test::lines_of;
using tolbu_test::read_file;
using tolbu_test::TempDir;

namespace {

logging::LogRecord record(std::string_view message, int level = logging::INFO) {
  logging::LogRecord r;
  r.name = "test";
  r.levelno = level;
  r.levelname = "INFO";
  r.created_ms = 1715938205042;
  r.message = message;
  return r;
}

std::string numbered(int i) { return fmt::format("line-{:04}", i); }  // 9 bytes + line feed

TEST(RotatingFileHandler, RotatesBeforePassingTheLimitAndDropsTheOldest) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  logging::RotatingFileHandler h(path, 30, 2);
  EXPECT_EQ(h.filename(), path);
  for (int i = 1; i <= 10; ++i) {
    h.handle(record(numbered(i)));
    // Each line is on disk as soon as it is handled.
    EXPECT_NE(read_file(path).find(numbered(i) + "\n"), std::string::npos) << i;
  }
  EXPECT_EQ(read_file(path + ".2"), "line-0004\nline-0005\nline-0006\n");
  EXPECT_EQ(read_file(path + ".1"), "line-0007\nline-0008\nline-0009\n");
  EXPECT_EQ(read_file(path), "line-0010\n");
  EXPECT_FALSE(fs::exists(path + ".3"));
}

TEST(RotatingFileHandler, AppendsToAnExistingFileAndCountsItsSize) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  { std::ofstream(path) << "previous run 0123456789\n"; }  // 24 bytes
  {
    logging::RotatingFileHandler h(path, 30, 1);
    h.handle(record("abcde"));  // 24 + 6 = 30: fits exactly
    h.handle(record("f"));      // would pass 30
  }
  EXPECT_EQ(read_file(path + ".1"), "previous run 0123456789\nabcde\n");
  EXPECT_EQ(read_file(path), "f\n");
}

TEST(RotatingFileHandler, ZeroLimitOrNoBackupsNeverRotate) {
  TempDir dir;
  logging::RotatingFileHandler unlimited(dir.file("a.log"), 0, 3);
  logging::RotatingFileHandler nowhere(dir.file("b.log"), 10, 0);
  for (int i = 0; i < 50; ++i) {
    unlimited.handle(record(numbered(i)));
    nowhere.handle(record(numbered(i)));
  }
  EXPECT_EQ(lines_of(read_file(dir.file("a.log"))).size(), 50u);
  EXPECT_EQ(lines_of(read_file(dir.file("b.log"))).size(), 50u);
  EXPECT_FALSE(fs::exists(dir.file("a.log.1")));
  EXPECT_FALSE(fs::exists(dir.file("b.log.1")));
}

TEST(RotatingFileHandler, OversizedLineGoesIntoAFreshFileWhole) {
  TempDir dir;
  const std::string path = dir.file("big.log");
  logging::RotatingFileHandler h(path, 8, 3);
  const std::string big(40, 'x');
  h.handle(record(big));
  h.handle(record(big));
  EXPECT_EQ(read_file(path), big + "\n");
  EXPECT_EQ(read_file(path + ".1"), big + "\n");
  EXPECT_FALSE(fs::exists(path + ".2"));
}

TEST(RotatingFileHandler, OpenFailuresThrowWithTheFileName) {
  TempDir dir;
  const std::string path = dir.file("missing/dir/x.log");
  try {
    logging::RotatingFileHandler h(path, 0, 0);
    FAIL() << "opened " << path;
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  EXPECT_THROW(logging::RotatingFileHandler(dir.file("y.log"), 10, -1), tolbu_sdk::ValueError);
}

TEST(RotatingFileHandler, FailedRotationKeepsEveryLine) {
  TempDir dir;
  const std::string path = dir.file("main.log");
  fs::create_directories(path + ".1/blocker");  // rename onto a non-empty folder fails
  CapturedFd err(2);
  {
    logging::RotatingFileHandler h(path, 20, 1);
    for (int i = 0; i < 6; ++i) h.handle(record(numbered(i)));
  }
  const std::string errors = err.text();
  EXPECT_NE(errors.find("--- Logging error ---"), std::string::npos);
  EXPECT_NE(errors.find("cannot rotate " + path), std::string::npos) << errors;
  EXPECT_EQ(lines_of(read_file(path)).size(), 6u);
}

TEST(StreamHandler, WritesWholeLinesToItsDescriptor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    logging::StreamHandler h(fds[1]);
    h.set_formatter(std::make_shared<logging::Formatter>("%(levelname)s %(message)s"));
    h.set_level(logging::WARNING);
    h.handle(record("below the handler's level"));
    h.handle(record("multi\nline", logging::WARNING));
  }
  ::close(fds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  EXPECT_EQ(got, "INFO multi\nline\n");

  CapturedFd out(1);
  logging::StreamHandler standard_output;
  standard_output.handle(record("to stdout"));
  EXPECT_EQ(out.text(), "to stdout\n");
}

// A formatter that fails, to check that the facility reports instead of throwing.
struct ThrowingFormatter : logging::Formatter {
  std::string format(const logging::LogRecord&) const override {
    throw std::runtime_error("bad layout");
  }
};

TEST(Handler, FailuresAreReportedOnStandardErrorNotThrown) {
  CapturedFd err(2);
  logging::StreamHandler closed(12345);  // not an open descriptor
  EXPECT_NO_THROW(closed.handle(record("lost cause")));
  tolbu_test::MemoryHandler memory;
  memory.set_formatter(std::make_shared<ThrowingFormatter>());
  EXPECT_NO_THROW(memory.handle(record("unformattable")));
  EXPECT_TRUE(memory.lines().empty());
  const std::string errors = err.text();
  EXPECT_NE(errors.find("write failed: Bad file descriptor while logging 'lost cause' from test"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("bad layout while logging 'unformattable'"), std::string::npos) << errors;
}

// Several threads through one logger into a rotating file: every line whole, none lost,
// each thread's lines in its own order, every file within the limit.
TEST(RotatingFileHandler, ThreadsNeitherBreakNorLoseLines) {
  tolbu_test::FacilityReset reset;
  TempDir dir;
  const std::string path = dir.file("threads.log");
  constexpr int kThreads = 4, kLines = 3000;
  constexpr std::uint64_t kLimit = 64 * 1024;
  auto handler = std::make_shared<logging::RotatingFileHandler>(path, kLimit, 100);
  handler->set_formatter(std::make_shared<logging::Formatter>("%(name)s|%(message)s"));
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
  handler.reset();
  log.clear_handlers();

  std::vector<std::string> files{path};
  for (int i = 1; fs::exists(path + "." + std::to_string(i)); ++i)
    files.push_back(path + "." + std::to_string(i));
  ASSERT_GT(files.size(), 3u);
  std::vector<int> next(kThreads, 0);
  std::size_t total = 0;
  // Oldest backup first, so each thread's numbers must rise steadily.
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    const std::string text = read_file(*it);
    EXPECT_LE(text.size(), kLimit) << *it;
    for (const std::string& line : lines_of(text)) {
      int t = -1, n = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "threads|t%d n%d", &t, &n), 2) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      ASSERT_EQ(line, fmt::format("threads|t{} n{:05} {} end", t, n, padding));
      ASSERT_EQ(n, next[t]) << "thread " << t << " out of order or lost a line";
      ++next[t];
      ++total;
    }
  }
  EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
