// Loggers: one object per name, level inheritance and its cache, propagation, and the
// guarantee that a disabled level does no formatting.
#include <gtest/gtest.h>

#include <stdexcept>

#include "test_support.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace logging = tolbu_sdk::logging;
using tolbu_test::CapturedFd;
using tolbu_test::MemoryHandler;

namespace {

// Counts how often fmt renders it, to prove disabled records are never formatted.
struct Counted {
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
  tolbu_test::FacilityReset reset_;
};

TEST_F(LoggerTest, OneObjectPerNameWithDottedParents) {
  logging::Logger& leaf = logging::get_logger("a.b.c");
  EXPECT_EQ(&leaf, &logging::get_logger("a.b.c"));
  ASSERT_NE(leaf.parent(), nullptr);
  EXPECT_EQ(leaf.parent()->name(), "a.b");
  EXPECT_EQ(leaf.parent()->parent(), &logging::get_logger("a"));
  EXPECT_EQ(logging::get_logger("a").parent(), &logging::root_logger());
  EXPECT_EQ(&logging::get_logger(""), &logging::root_logger());
  EXPECT_EQ(&logging::get_logger("root"), &logging::root_logger());
  EXPECT_EQ(logging::root_logger().parent(), nullptr);
  // A name that only shares a prefix is not a child.
  EXPECT_EQ(logging::get_logger("ab").parent(), &logging::root_logger());
}

TEST_F(LoggerTest, EffectiveLevelFollowsEveryAncestorChange) {
  logging::Logger& leaf = logging::get_logger("x.y.z");
  EXPECT_EQ(leaf.effective_level(), logging::WARNING);  // the root's initial level
  EXPECT_FALSE(leaf.is_enabled_for(logging::INFO));

  logging::root_logger().set_level(logging::DEBUG);
  EXPECT_TRUE(leaf.is_enabled_for(logging::DEBUG));
  logging::get_logger("x").set_level(logging::ERROR);
  EXPECT_EQ(leaf.effective_level(), logging::ERROR);
  logging::get_logger("x.y").set_level(logging::INFO);
  EXPECT_EQ(leaf.effective_level(), logging::INFO);
  EXPECT_EQ(logging::get_logger("x").effective_level(), logging::ERROR);
  logging::get_logger("x.y").set_level(logging::NOTSET);
  EXPECT_EQ(leaf.effective_level(), logging::ERROR);
  logging::get_logger("x").set_level(logging::NOTSET);
  EXPECT_EQ(leaf.effective_level(), logging::DEBUG);
  leaf.set_level(logging::CRITICAL);
  logging::root_logger().set_level(logging::NOTSET);
  EXPECT_EQ(leaf.effective_level(), logging::CRITICAL);
  EXPECT_EQ(logging::get_logger("x.y").effective_level(), logging::NOTSET);

  // A logger created below a configured ancestor starts with the inherited level.
  logging::get_logger("p").set_level(logging::ERROR);
  EXPECT_EQ(logging::get_logger("p.q.r").effective_level(), logging::ERROR);
}

TEST_F(LoggerTest, LevelsBetweenTheNamedOnesAreRecordsToo) {
  auto memory = std::make_shared<MemoryHandler>();
  memory->set_formatter(
      std::make_shared<logging::Formatter>("%(levelno)s %(levelname)s %(message)s"));
  logging::Logger& log = logging::get_logger("levels");
  log.add_handler(memory);
  log.set_level(25);
  log.info("dropped");
  log.log(25, "kept {}", 25);
  log.warning("also kept");
  EXPECT_EQ(memory->lines(),
            (std::vector<std::string>{"25 Level 25 kept 25", "30 WARNING also kept"}));
  EXPECT_EQ(logging::level_name(25), "Level 25");
  EXPECT_EQ(logging::level_from_name("WARNING"), logging::WARNING);
  EXPECT_EQ(logging::level_from_name("warning"), std::nullopt);
  EXPECT_EQ(logging::level_from_name("WARN"), std::nullopt);
}

TEST_F(LoggerTest, DisabledLevelsFormatNothing) {
  int renders = 0;
  auto memory = std::make_shared<MemoryHandler>();
  logging::Logger& log = logging::get_logger("quiet");
  log.add_handler(memory);
  log.set_level(logging::INFO);
  log.debug("{}", Counted{&renders});
  EXPECT_EQ(renders, 0);
  log.info("{}", Counted{&renders});
  EXPECT_EQ(renders, 1);
  EXPECT_EQ(memory->lines(), std::vector<std::string>{"1"});
}

TEST_F(LoggerTest, RecordsClimbUntilPropagationStops) {
  auto root = std::make_shared<MemoryHandler>();
  auto mid = std::make_shared<MemoryHandler>();
  auto leaf = std::make_shared<MemoryHandler>();
  logging::root_logger().set_level(logging::DEBUG);
  logging::root_logger().add_handler(root);
  logging::get_logger("svc").add_handler(mid);
  logging::get_logger("svc.part").add_handler(leaf);

  logging::get_logger("svc.part").info("one");
  logging::get_logger("svc").set_propagate(false);
  logging::get_logger("svc.part").info("two");
  logging::get_logger("svc.part").set_propagate(false);
  logging::get_logger("svc.part").info("three");
  logging::get_logger("other").info("four");

  EXPECT_EQ(leaf->lines(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(mid->lines(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(root->lines(), (std::vector<std::string>{"one", "four"}));
}

TEST_F(LoggerTest, HandlerLevelsFilterIndependently) {
  auto all = std::make_shared<MemoryHandler>();
  auto warnings = std::make_shared<MemoryHandler>();
  warnings->set_level(logging::WARNING);
  logging::root_logger().set_level(logging::DEBUG);
  logging::root_logger().add_handler(all);
  logging::root_logger().add_handler(warnings);
  logging::root_logger().add_handler(all);  // attached once only
  EXPECT_EQ(logging::root_logger().handlers().size(), 2u);

  logging::get_logger("h").debug("d");
  logging::get_logger("h").error("e");
  EXPECT_EQ(all->lines(), (std::vector<std::string>{"d", "e"}));
  EXPECT_EQ(warnings->lines(), std::vector<std::string>{"e"});

  logging::root_logger().remove_handler(all);
  logging::get_logger("h").error("f");
  EXPECT_EQ(all->lines().size(), 2u);
  EXPECT_EQ(warnings->lines().size(), 2u);
  EXPECT_THROW(logging::root_logger().add_handler(nullptr), std::invalid_argument);
}

TEST_F(LoggerTest, ExceptionInformationFollowsTheLine) {
  auto memory = std::make_shared<MemoryHandler>();
  memory->set_formatter(std::make_shared<logging::Formatter>("%(levelname)s %(message)s"));
  logging::Logger& log = logging::get_logger("exc");
  log.add_handler(memory);
  std::exception_ptr caught;
  try {
    throw std::out_of_range("index 7");
  } catch (...) {
    caught = std::current_exception();
  }
  log.exception(caught, "Callback failed for {}", "chan");
  log.log_exc(logging::CRITICAL, caught, "again");
  log.log_text(logging::ERROR, "braces {} stay", caught);
  EXPECT_EQ(memory->lines(),
            (std::vector<std::string>{"ERROR Callback failed for chan\nstd::out_of_range: index 7",
                                      "CRITICAL again\nstd::out_of_range: index 7",
                                      "ERROR braces {} stay\nstd::out_of_range: index 7"}));
}

TEST_F(LoggerTest, WarningsWithoutAnyHandlerGoToStandardError) {
  CapturedFd err(2);
  logging::get_logger("nobody").warning("disk {} full", "/var");
  logging::get_logger("nobody").info("not shown");  // below the root's WARNING
  EXPECT_EQ(err.text(), "disk /var full\n");
}

TEST_F(LoggerTest, ResetDetachesAndRestoresDefaults) {
  logging::Logger& log = logging::get_logger("r.s");
  log.set_level(logging::DEBUG);
  log.set_propagate(false);
  log.add_handler(std::make_shared<MemoryHandler>());
  logging::reset_for_tests();
  EXPECT_FALSE(log.has_handlers());
  EXPECT_TRUE(log.propagate());
  EXPECT_EQ(log.level(), logging::NOTSET);
  EXPECT_EQ(log.effective_level(), logging::WARNING);
  EXPECT_EQ(&log, &logging::get_logger("r.s"));
}

}  // namespace
