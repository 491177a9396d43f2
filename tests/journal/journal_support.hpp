#pragma once
// A clean facility and a private working folder for each journal test.
#include <gtest/gtest.h>
#include <unistd.h>

#include "../logging/test_support.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_test {

// Resets the facility and the set-up flag, and runs the test inside a fresh folder so that
// the default relative paths ("logs/...") land there.
class JournalTest : public ::testing::Test {
 protected:
  JournalTest() : previous_(fs::current_path()) {
    tolbu_sdk::utils::reset_logging_for_tests();
    fs::current_path(dir_.path());
  }
  ~JournalTest() override {
    tolbu_sdk::utils::reset_logging_for_tests();
    fs::current_path(previous_);
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
  fs::path previous_;
};

}  // namespace tolbu_test
