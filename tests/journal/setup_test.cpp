// setup_logging's routing, its once-only rule and failure handling, and get_logger.
#include <gtest/gtest.h>

#include <regex>
#include <system_error>
#include <thread>

#include "journal_support.hpp"
#include "tolbu_sdk/errors.hpp"

namespace logging = tolbu_sdk::logging;
namespace utils = tolbu_sdk::utils;
using tolbu_test::CapturedFd;
namespace fs = std::filesystem;
using tolbu_test::lines_of;
using tolbu_test::read_file;
using tolbu_test::fs::exists;

namespace {

// "LEVEL name message" of every line of a file or console capture, colours removed; also
// checks that each line has the detailed layout.
std::vector<std::string> entries(const std::string& text) {
  static const std::regex colour("\x1b\\[[0-9]+m");
  static const std::regex layout(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| (\S+) +\| (\S+) \| (.*)$)");
  std::vector<std::string> out;
  for (const std::string& line : lines_of(std::regex_replace(text, colour, ""))) {
    std::smatch m;
    if (!std::regex_match(line, m, layout)) {
      out.push_back("malformed: " + line);
      continue;
    }
    out.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
  }
  return out;
}

std::vector<std::string> entries_of_file(const std::string& path) {
  return entries(read_file(path));
}

using Lines = std::vector<std::string>;

class Setup : public tolbu_test::JournalTest {
 protected:
  void log_everywhere() {
    logging::get_logger("tolbu_sdk.features.orders").debug("orders debug");
    logging::get_logger("tolbu_sdk.features.orders").info("orders info");
    logging::get_logger("tolbu_sdk.features.orders").warning("orders warning");
    logging::get_logger("tolbu_sdk.features.streaming").debug("stream debug");
    logging::get_logger("websockets.client").debug("ws debug");
    logging::get_logger("centrifuge").error("cf error");
  }
};

TEST_F(Setup, RoutesEachLoggerToItsOutputs) {
  CapturedFd out(1);
  utils::setup_logging("info", file("main.log"), file("warn.log"), file("stream.log"));
  log_everywhere();
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(entries(out.text()),
            (Lines{"INFO tolbu_sdk.features.orders orders info",
                   "WARNING tolbu_sdk.features.orders orders warning",
                   "DEBUG tolbu_sdk.features.streaming stream debug",
                   "DEBUG websockets.client ws debug", "ERROR centrifuge cf error"}));
  EXPECT_EQ(entries_of_file(file("main.log")),
            (Lines{"INFO tolbu_sdk.features.orders orders info",
                   "WARNING tolbu_sdk.features.orders orders warning"}));
  EXPECT_EQ(entries_of_file(file("warn.log")),
            Lines{"WARNING tolbu_sdk.features.orders orders warning"});
  EXPECT_EQ(entries_of_file(file("stream.log")),
            (Lines{"DEBUG tolbu_sdk.features.streaming stream debug",
                   "DEBUG websockets.client ws debug", "ERROR centrifuge cf error"}));
  // The console is coloured, the files are not.
  EXPECT_EQ(read_file(file("main.log")).find('\x1b'), std::string::npos);
}

TEST_F(Setup, SecondCallChangesNothing) {
  CapturedFd out(1);
  utils::setup_logging({.level = "WARNING",
                        .log_file = file("main.log"),
                        .warn_log_file = "",
                        .stream_log_file = file("stream.log")});
  utils::setup_logging("DEBUG", file("other.log"), file("w2.log"), file("s2.log"), true);
  EXPECT_EQ(logging::root_logger().level(), logging::WARNING);
  EXPECT_EQ(logging::root_logger().handlers().size(), 2u);  // console and main file
  for (const char* name : {"tolbu_sdk.features.streaming", "websockets", "centrifuge"}) {
    EXPECT_EQ(logging::get_logger(name).handlers().size(), 2u) << name;
    EXPECT_FALSE(logging::get_logger(name).propagate()) << name;
    EXPECT_EQ(logging::get_logger(name).level(), logging::DEBUG) << name;
  }
  EXPECT_FALSE(exists(file("other.log")));
  EXPECT_FALSE(exists(file("w2.log")));
  EXPECT_FALSE(exists(file("warn.log")));
  logging::get_logger("x").error("once");
  EXPECT_EQ(entries(out.text()), Lines{"ERROR x once"});
}

TEST_F(Setup, WithoutConsoleStreamingLoggersOnlyHaveTheirFile) {
  CapturedFd out(1);
  utils::setup_logging("DEBUG", std::nullopt, file("warn.log"), file("stream.log"), false);
  log_everywhere();
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(exists(file("logs")));
  EXPECT_EQ(logging::root_logger().handlers().size(), 1u);
  EXPECT_EQ(logging::get_logger("websockets").handlers().size(), 1u);
  EXPECT_EQ(entries_of_file(file("warn.log")),
            Lines{"WARNING tolbu_sdk.features.orders orders warning"});
  EXPECT_EQ(entries_of_file(file("stream.log")).size(), 3u);
}

TEST_F(Setup, WithoutStreamFileStreamingLoggersPropagate) {
  utils::setup_logging("INFO", file("main.log"), "", std::nullopt, false);
  log_everywhere();
  EXPECT_TRUE(logging::get_logger("centrifuge").propagate());
  // They inherit the root's INFO again: their debug lines are dropped.
  EXPECT_EQ(
      entries_of_file(file("main.log")),
      (Lines{"INFO tolbu_sdk.features.orders orders info",
             "WARNING tolbu_sdk.features.orders orders warning", "ERROR centrifuge cf error"}));
  EXPECT_FALSE(exists(file("logs")));
}

TEST_F(Setup, UnknownLevelFailsBeforeAttachingAnything) {
  auto mine = std::make_shared<tolbu_test::MemoryHandler>();
  logging::root_logger().add_handler(mine);
  for (const char* bad : {"VERBOSE", "warn", "", "NOTSET"})
    EXPECT_THROW(utils::setup_logging(bad, file("main.log")), tolbu_sdk::ValueError) << bad;
  EXPECT_THROW(utils::setup_logging({.max_size_mb = -1}), tolbu_sdk::ValueError);
  EXPECT_THROW(utils::setup_logging({.backup_count = -2}), tolbu_sdk::ValueError);
  EXPECT_FALSE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers(),
            std::vector<std::shared_ptr<logging::Handler>>{mine});
  EXPECT_EQ(logging::root_logger().level(), logging::WARNING);
  EXPECT_FALSE(exists(file("main.log")));
  EXPECT_FALSE(exists(file("logs")));
}

TEST_F(Setup, UnwritableFileFailsAndTheNextCallStartsAgain) {
  { std::ofstream(file("blocker")) << "a file, not a folder\n"; }
  const std::string bad = file("blocker/logs/warn.log");
  CapturedFd err(2);
  EXPECT_THROW(utils::setup_logging("INFO", file("main.log"), bad, file("stream.log"), false),
               std::system_error);
  EXPECT_EQ(err.text(),
            "Failed to create log directory " + file("blocker/logs") + ": Not a directory\n");
  EXPECT_FALSE(utils::logging_configured());
  // What was attached before the failure stays attached.
  ASSERT_EQ(logging::root_logger().handlers().size(), 1u);
  EXPECT_TRUE(logging::get_logger("centrifuge").propagate());

  utils::setup_logging("INFO", file("main.log"), file("warn.log"), file("stream.log"), false);
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers().size(), 2u);
  logging::get_logger("a").info("after retry");
  EXPECT_EQ(entries_of_file(file("main.log")), Lines{"INFO a after retry"});
}

TEST_F(Setup, FilesRotateAtTheGivenMebibytes) {
  utils::setup_logging("INFO", file("main.log"), "", "", false, 1, 2);
  const std::uint64_t limit = 1024 * 1024;
  const std::string payload(200, 'p');
  logging::Logger& log = logging::get_logger("r");
  std::uint64_t written = 0;
  std::uint64_t line_size = 0;
  while (!exists(file("main.log.1"))) {
    log.info("{}", payload);
    if (line_size == 0) line_size = fs::file_size(file("main.log"));
    written += line_size;
    ASSERT_LT(written, 2 * limit);
  }
  // The rotated file holds as many whole lines as fit in the limit, and no more.
  const std::uint64_t rotated = fs::file_size(file("main.log.1"));
  EXPECT_LE(rotated, limit);
  EXPECT_GT(rotated + line_size, limit);
  EXPECT_EQ(rotated % line_size, 0u);
  EXPECT_EQ(fs::file_size(file("main.log")), line_size);
}

TEST_F(Setup, GetLoggerNamesAndTheDefaultSetup) {
  CapturedFd out(1);
  logging::Logger& core = utils::get_logger("tolbu");
  EXPECT_EQ(core.name(), "tolbu_sdk.core");
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(utils::get_logger("features.orders").name(), "tolbu_sdk.features.orders");
  EXPECT_EQ(&utils::get_logger("strategy.alpha"), &logging::get_logger("tolbu_sdk.strategy.alpha"));
  for (const char* f : {"logs/tolbu_strategy.log", "logs/warn.log", "logs/stream.log"})
    EXPECT_TRUE(exists(file(f))) << f;
  // The default level is DEBUG.
  core.debug("from core");
  EXPECT_EQ(entries_of_file(file("logs/tolbu_strategy.log")),
            Lines{"DEBUG tolbu_sdk.core from core"});
  EXPECT_EQ(entries(out.text()), Lines{"DEBUG tolbu_sdk.core from core"});
}

TEST_F(Setup, GetLoggerPassesSetupErrorsOnAndRetries) {
  { std::ofstream(file("logs")) << "in the way\n"; }
  CapturedFd err(2);
  EXPECT_THROW(utils::get_logger("strategy"), std::system_error);
  EXPECT_FALSE(utils::logging_configured());
  fs::remove(file("logs"));
  CapturedFd out(1);
  EXPECT_EQ(utils::get_logger("strategy").name(), "tolbu_sdk.strategy");
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers().size(), 3u);
}

TEST_F(Setup, TwoThreadsNeverBreakALine) {
  utils::setup_logging("DEBUG", file("main.log"), "", "", false);
  constexpr int kLines = 2000;
  const std::string tail(150, '=');
  std::vector<std::thread> threads;
  for (const char* name : {"tolbu_sdk.loop", "tolbu_sdk.control"})
    threads.emplace_back([&, name] {
      for (int i = 0; i < kLines; ++i) logging::get_logger(name).info("{} {}", i, tail);
    });
  for (auto& t : threads) t.join();
  const Lines got = entries_of_file(file("main.log"));
  ASSERT_EQ(got.size(), 2u * kLines);
  int next[2] = {0, 0};
  for (const std::string& e : got) {
    const int who = e.starts_with("INFO tolbu_sdk.loop ") ? 0 : 1;
    const std::string expected = fmt::format(
        "INFO {} {} {}", who == 0 ? "tolbu_sdk.loop" : "tolbu_sdk.control", next[who]++, tail);
    ASSERT_EQ(e, expected);
  }
}

}  // namespace
