// Loggers: one object per name, inherited levels kept current, propagation, handler levels,
// and no formatting for disabled records.
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <stdexcept>

#include "test_support.hpp"

namespace logging = tolbu_sdk::logging;
using tolbu_test::Lines;
using tolbu_test::MemoryHandler;

namespace {
struct Counted {  // counts its renderings
  int* count;
};
}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<int> {
  auto format(const Counted& c, format_context& ctx) const {
    return fmt::formatter<int>::format(++*c.count, ctx);
  }
};

namespace {

class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() { logging::reset_for_tests(); }
  ~LoggerTest() override { logging::reset_for_tests(); }
};

TEST_F(LoggerTest, OneObjectPerNameWithDottedParents) {
  logging::Logger& leaf = logging::get_logger("a.b.c");
  EXPECT_EQ(&leaf, &logging::get_logger("a.b.c"));
  EXPECT_EQ(leaf.parent()->name(), "a.b");
  EXPECT_EQ(leaf.parent()->parent(), &logging::get_logger("a"));
  EXPECT_EQ(logging::get_logger("a").parent(), &logging::root_logger());
  EXPECT_EQ(logging::get_logger("ab").parent(), &logging::root_logger());  // a prefix, no child
  EXPECT_EQ(&logging::get_logger(""), &logging::root_logger());
  EXPECT_EQ(&logging::get_logger("root"), &logging::root_logger());
}

TEST_F(LoggerTest, EffectiveLevelFollowsEveryAncestorChange) {
  logging::Logger& leaf = logging::get_logger("x.y.z");
  EXPECT_EQ(leaf.effective_level(), logging::WARNING);  // the root's initial level
  logging::root_logger().set_level(logging::DEBUG);
  EXPECT_TRUE(leaf.is_enabled_for(logging::DEBUG));
  logging::get_logger("x").set_level(logging::ERROR);
  EXPECT_FALSE(leaf.is_enabled_for(logging::WARNING));
  logging::get_logger("x.y").set_level(logging::INFO);
  EXPECT_EQ(leaf.effective_level(), logging::INFO);
  EXPECT_EQ(logging::get_logger("x").effective_level(), logging::ERROR);
  logging::get_logger("x.y").set_level(logging::NOTSET);
  EXPECT_EQ(leaf.effective_level(), logging::ERROR);
  logging::get_logger("x").set_level(logging::NOTSET);
  EXPECT_EQ(leaf.effective_level(), logging::DEBUG);
  logging::get_logger("p").set_level(logging::ERROR);  // created below a set ancestor
  EXPECT_EQ(logging::get_logger("p.q.r").effective_level(), logging::ERROR);
}

TEST_F(LoggerTest, DisabledRecordsAreNotFormattedAndAnyLevelIsARecord) {
  int renders = 0;
  auto memory = std::make_shared<MemoryHandler>();
  memory->set_formatter(
      std::make_shared<logging::Formatter>("%(levelno)s %(levelname)s %(message)s"));
  logging::Logger& log = logging::get_logger("quiet");
  log.add_handler(memory);
  log.set_level(25);
  log.info("{}", Counted{&renders});
  EXPECT_EQ(renders, 0);
  log.log(25, "kept {}", Counted{&renders});
  log.log_text(logging::WARNING, "braces {} stay");
  EXPECT_EQ(memory->lines, (Lines{"25 Level 25 kept 1", "30 WARNING braces {} stay"}));
  EXPECT_EQ(logging::level_from_name("WARNING"), logging::WARNING);
  EXPECT_EQ(logging::level_from_name("WARN"), std::nullopt);
}

TEST_F(LoggerTest, PropagationAndHandlerLevelsRouteRecords) {
  auto root = std::make_shared<MemoryHandler>(), mid = std::make_shared<MemoryHandler>();
  auto leaf = std::make_shared<MemoryHandler>(), errors = std::make_shared<MemoryHandler>();
  errors->set_level(logging::ERROR);
  logging::root_logger().set_level(logging::DEBUG);
  logging::root_logger().add_handler(root);
  logging::root_logger().add_handler(errors);
  logging::root_logger().add_handler(root);  // attached once only
  logging::get_logger("svc").add_handler(mid);
  logging::get_logger("svc.part").add_handler(leaf);
  logging::Logger& part = logging::get_logger("svc.part");

  part.error("one");
  logging::get_logger("svc").set_propagate(false);
  part.info("two");
  part.set_propagate(false);
  part.info("three");
  logging::get_logger("other").debug("four");
  logging::root_logger().remove_handler(root);
  logging::get_logger("other").error("five");

  EXPECT_EQ(leaf->lines, (Lines{"one", "two", "three"}));
  EXPECT_EQ(mid->lines, (Lines{"one", "two"}));
  EXPECT_EQ(root->lines, (Lines{"one", "four"}));
  EXPECT_EQ(errors->lines, (Lines{"one", "five"}));
  EXPECT_THROW(part.add_handler(nullptr), std::invalid_argument);
}

TEST_F(LoggerTest, WarningsWithoutAnyHandlerGoToStandardError) {
  tolbu_test::CapturedFd err(2);
  logging::get_logger("nobody").info("below the root's WARNING");
  logging::get_logger("nobody").exception(std::make_exception_ptr(std::runtime_error("full")),
                                          "disk {}", "/var");
  EXPECT_EQ(err.text(), "disk /var\nstd::runtime_error: full\n");
}

}  // namespace
