// setup_logging's routing, its once-only rule and failure handling, and get_logger.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <system_error>

#include "journal_support.hpp"
#include "tolbu_sdk/errors.hpp"

namespace logging = tolbu_sdk::logging;
namespace utils = tolbu_sdk::utils;
namespace fs = std::filesystem;
using tolbu_test::CapturedFd;
using tolbu_test::entries;
using tolbu_test::Lines;
using tolbu_test::read_file;

namespace {

class Setup : public tolbu_test::JournalTest {
 protected:
  Lines entries_of(const std::string& name) { return entries(read_file(file(name))); }
  void log_everywhere() {
    logging::get_logger("tolbu_sdk.features.orders").debug("orders debug");
    logging::get_logger("tolbu_sdk.features.orders").info("orders info");
    logging::get_logger("tolbu_sdk.features.orders").warning("orders warning");
    logging::get_logger("tolbu_sdk.features.streaming").debug("stream debug");
    logging::get_logger("websockets.client").debug("ws debug");
    logging::get_logger("centrifuge").error("cf error");
  }
};

const Lines kStreamEntries{"DEBUG tolbu_sdk.features.streaming stream debug",
                           "DEBUG websockets.client ws debug", "ERROR centrifuge cf error"};

TEST_F(Setup, RoutesEachLoggerToItsOutputs) {
  CapturedFd out(1);
  utils::setup_logging("info", file("main.log"), file("warn.log"), file("stream.log"));
  log_everywhere();
  Lines console{"INFO tolbu_sdk.features.orders orders info",
                "WARNING tolbu_sdk.features.orders orders warning"};
  EXPECT_EQ(entries_of("main.log"), console);
  EXPECT_EQ(entries_of("warn.log"), Lines{"WARNING tolbu_sdk.features.orders orders warning"});
  EXPECT_EQ(entries_of("stream.log"), kStreamEntries);
  console.insert(console.end(), kStreamEntries.begin(), kStreamEntries.end());
  EXPECT_EQ(entries(out.text()), console);
  EXPECT_EQ(read_file(file("main.log")).find('\x1b'), std::string::npos);
}

TEST_F(Setup, SecondCallChangesNothing) {
  CapturedFd out(1);
  utils::setup_logging({.level = "WARNING",
                        .log_file = file("main.log"),
                        .warn_log_file = "",
                        .stream_log_file = file("stream.log")});
  utils::setup_logging("DEBUG", file("other.log"), file("w2.log"), file("s2.log"));
  EXPECT_EQ(logging::root_logger().level(), logging::WARNING);
  EXPECT_EQ(logging::root_logger().handlers().size(), 2u);  // console, main file
  for (const char* name : {"tolbu_sdk.features.streaming", "websockets", "centrifuge"}) {
    EXPECT_EQ(logging::get_logger(name).handlers().size(), 2u) << name;  // stream file, console
    EXPECT_FALSE(logging::get_logger(name).propagate()) << name;
  }
  EXPECT_FALSE(fs::exists(file("other.log")) || fs::exists(file("w2.log")) ||
               fs::exists(file("warn.log")));
}

// strategy | head -1 with the default setup: the console on a pipe nobody reads any more.
TEST_F(Setup, ConsoleOnAClosedPipeKeepsEveryFileLine) {
  const auto previous_action = std::signal(SIGPIPE, SIG_DFL);
  std::fflush(stdout);
  const int saved_out = ::dup(1);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::dup2(fds[1], 1);
  ::close(fds[1]);
  ::close(fds[0]);
  CapturedFd err(2);
  utils::setup_logging("INFO", file("main.log"), file("warn.log"), "");
  for (int i = 0; i < 3; ++i) logging::get_logger("tolbu_sdk.core").warning("line {}", i);
  utils::reset_logging_for_tests();
  ::dup2(saved_out, 1);
  ::close(saved_out);
  std::signal(SIGPIPE, previous_action);

  const Lines want{"WARNING tolbu_sdk.core line 0", "WARNING tolbu_sdk.core line 1",
                   "WARNING tolbu_sdk.core line 2"};
  EXPECT_EQ(entries_of("main.log"), want);
  EXPECT_EQ(entries_of("warn.log"), want);
  const std::string errors = err.text();
  EXPECT_NE(errors.find("Broken pipe"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("--- Logging error ---"), errors.rfind("--- Logging error ---")) << errors;
}

TEST_F(Setup, WithoutConsoleOrMainFile) {
  CapturedFd out(1);
  utils::setup_logging("DEBUG", std::nullopt, file("warn.log"), file("stream.log"), false);
  log_everywhere();
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(fs::exists(file("logs")));
  EXPECT_EQ(logging::get_logger("websockets").handlers().size(), 1u);
  EXPECT_EQ(entries_of("warn.log"), Lines{"WARNING tolbu_sdk.features.orders orders warning"});
  EXPECT_EQ(entries_of("stream.log"), kStreamEntries);
}

TEST_F(Setup, WithoutStreamFileStreamingLoggersPropagate) {
  utils::setup_logging("INFO", file("main.log"), "", "", false);
  log_everywhere();
  // They inherit the root's INFO too: their debug lines are dropped.
  EXPECT_EQ(entries_of("main.log"), (Lines{"INFO tolbu_sdk.features.orders orders info",
                                           "WARNING tolbu_sdk.features.orders orders warning",
                                           "ERROR centrifuge cf error"}));
}

TEST_F(Setup, BadArgumentsFailBeforeAttachingAnything) {
  auto mine = std::make_shared<tolbu_test::MemoryHandler>();
  logging::root_logger().add_handler(mine);
  for (const char* bad : {"VERBOSE", "warn", ""})
    EXPECT_THROW(utils::setup_logging(bad, file("main.log")), tolbu_sdk::ValueError) << bad;
  EXPECT_THROW(utils::setup_logging({.max_size_mb = -1}), tolbu_sdk::ValueError);
  EXPECT_FALSE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers(),
            std::vector<std::shared_ptr<logging::Handler>>{mine});
  EXPECT_EQ(logging::root_logger().level(), logging::WARNING);
  EXPECT_FALSE(fs::exists(file("main.log")) || fs::exists(file("logs")));
}

TEST_F(Setup, UnwritableFileFailsAndTheNextCallStartsAgain) {
  std::ofstream(file("blocker")) << "a file, not a folder\n";
  CapturedFd err(2);
  EXPECT_THROW(utils::setup_logging("INFO", file("main.log"), file("blocker/logs/warn.log"),
                                    file("stream.log"), false),
               std::system_error);
  EXPECT_EQ(err.text(),
            "Failed to create log directory " + file("blocker/logs") + ": Not a directory\n");
  EXPECT_FALSE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers().size(), 1u);  // the main file stays attached
  EXPECT_TRUE(logging::get_logger("centrifuge").propagate());

  utils::setup_logging("INFO", file("main.log"), file("warn.log"), file("stream.log"), false);
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(logging::root_logger().handlers().size(), 2u);
  logging::get_logger("a").info("after retry");
  EXPECT_EQ(entries_of("main.log"), Lines{"INFO a after retry"});
}

TEST_F(Setup, FilesRotateAtTheGivenMebibytes) {
  utils::setup_logging("INFO", file("main.log"), "", "", false, 1, 2);
  const std::uint64_t limit = 1024 * 1024;
  std::uint64_t line = 0, written = 0;
  while (!fs::exists(file("main.log.1")) && written < 2 * limit) {
    logging::get_logger("r").info("{:200}", "x");
    if (line == 0) line = fs::file_size(file("main.log"));
    written += line;
  }
  const std::uint64_t rotated = fs::file_size(file("main.log.1"));
  EXPECT_EQ(rotated % line, 0u);
  EXPECT_LE(rotated, limit);
  EXPECT_GT(rotated + line, limit);
  EXPECT_EQ(fs::file_size(file("main.log")), line);
}

TEST_F(Setup, GetLoggerNamesAndTheDefaultSetup) {
  CapturedFd out(1);
  logging::Logger& core = utils::get_logger("tolbu");
  EXPECT_EQ(core.name(), "tolbu_sdk.core");
  EXPECT_TRUE(utils::logging_configured());
  EXPECT_EQ(utils::get_logger("features.orders").name(), "tolbu_sdk.features.orders");
  for (const char* f : {"logs/tolbu_strategy.log", "logs/warn.log", "logs/stream.log"})
    EXPECT_TRUE(fs::exists(file(f))) << f;
  core.debug("from core");  // the default level is DEBUG
  EXPECT_EQ(entries_of("logs/tolbu_strategy.log"), Lines{"DEBUG tolbu_sdk.core from core"});
  EXPECT_EQ(entries(out.text()), Lines{"DEBUG tolbu_sdk.core from core"});
}

TEST_F(Setup, GetLoggerPassesSetupErrorsOnAndRetries) {
  CapturedFd out(1);
  std::ofstream(file("logs")) << "in the way\n";
  EXPECT_THROW(utils::get_logger("strategy"), std::system_error);
  EXPECT_FALSE(utils::logging_configured());
  fs::remove(file("logs"));
  EXPECT_EQ(utils::get_logger("strategy").name(), "tolbu_sdk.strategy");
  EXPECT_EQ(logging::root_logger().handlers().size(), 3u);
}

}  // namespace
