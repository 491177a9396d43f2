#pragma once
// Each journal test starts unconfigured, inside a fresh folder where the default relative
// paths ("logs/...") land.
#include <gtest/gtest.h>

#include <regex>

#include "../logging/test_support.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_test {

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

// "LEVEL name message" of each line of a console capture or log file, colours removed;
// a line out of the detailed layout shows as "malformed: ...".
inline Lines entries(const std::string& text) {
  static const std::regex colour("\x1b\\[[0-9]+m");
  static const std::regex layout(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| (\S+) +\| (\S+) \| (.*)$)");
  Lines out;
  for (const std::string& line : lines_of(std::regex_replace(text, colour, ""))) {
    std::smatch m;
    out.push_back(std::regex_match(line, m, layout)
                      ? m[1].str() + " " + m[2].str() + " " + m[3].str()
                      : "malformed: " + line);
  }
  return out;
}

}  // namespace tolbu_test
