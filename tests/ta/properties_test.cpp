// Properties every registered indicator must have, run with the parameters of each reference
// case: editing the input (update, remove) leaves the same outputs as a plain run, starting
// over gives the same outputs again, and a bounded history computes the same newest values.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include "reference.hpp"

namespace tolbu_sdk::ta::testing {
namespace {
namespace json = boost::json;

class Properties : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    const Reference& ref = reference();
    ASSERT_TRUE(ref.error.empty()) << ref.error;
    ASSERT_LT(GetParam(), ref.cases.size());
    entry_ = &ref.cases[GetParam()].as_object();
    name_ = std::string(entry_->at("indicator").as_string());
    what_ = name_ + json::serialize(entry_->at("params"));
    ASSERT_TRUE(Registry::instance().contains(name_)) << name_ << " is not registered";
  }
  std::unique_ptr<IndicatorBase> make(const IndicatorOptions& o = {}) const {
    return create_indicator(name_, {}, params_of(*entry_), o);
  }
  Value input(std::size_t i) const {
    const OHLCV& bar = reference().bars.at(i % reference().bars.size());
    if (entry_->at("input").as_string() == "close") return bar.close;
    return bar;
  }
  void run(IndicatorBase& ind) const {
    for (std::size_t i = 0; i < reference().bars.size(); ++i) ind.add_value(input(i));
  }

  const json::object* entry_ = nullptr;
  std::string name_;
  std::string what_;
};

TEST_P(Properties, EditedInputGivesThePlainRunsOutputs) {
  auto plain = make();
  run(*plain);
  auto edited = make();
  const std::size_t n = reference().bars.size();
  for (std::size_t i = 0; i < n; ++i) {
    edited->add_value(input(i));
    if (i % 4 == 1) {
      edited->update_value(input(i * 7 + 3));  // a different bar, then back
      edited->update_value(input(i));
    }
    if (i % 6 == 3) {
      edited->remove();
      edited->add_value(input(i * 5 + 1));
      edited->remove();
      edited->add_value(input(i));
    }
    if (i % 50 == 49) {  // several removals in a row, then the same inputs again
      for (int k = 0; k < 3; ++k) edited->remove();
      for (std::size_t j = i - 2; j <= i; ++j) edited->add_value(input(j));
    }
  }
  const std::string errors = compare_indicators(what_ + " edited", *edited, *plain);
  EXPECT_TRUE(errors.empty()) << errors;

  edited->remove_all();
  EXPECT_EQ(edited->size(), 0u) << what_;
  run(*edited);
  const std::string again = compare_indicators(what_ + " after remove_all", *edited, *plain);
  EXPECT_TRUE(again.empty()) << again;
}

TEST_P(Properties, BoundedHistoryComputesTheSameNewestValues) {
  auto plain = make();
  run(*plain);
  for (std::size_t bound : {1u, 60u}) {
    auto bounded = make({.max_history = bound});
    run(*bounded);
    EXPECT_LE(bounded->size(), std::max<std::size_t>(bound, 200)) << what_;
    const std::string errors =
        compare_indicators(fmt::format("{} bounded to {}", what_, bound), *bounded, *plain,
                           std::min<std::size_t>(bound, 5));
    EXPECT_TRUE(errors.empty()) << errors;
    // Removing what is held and adding it back is still exact.
    bounded->remove();
    bounded->add_value(input(reference().bars.size() - 1));
    const std::string after = compare_indicators(
        fmt::format("{} bounded to {}, newest re-added", what_, bound), *bounded, *plain, 1);
    EXPECT_TRUE(after.empty()) << after;
  }
}

std::vector<std::size_t> case_indices() {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < reference().cases.size(); ++i) out.push_back(i);
  if (out.empty()) out.push_back(SIZE_MAX);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Properties, ::testing::ValuesIn(case_indices()), [](const auto& info) {
      const auto& cases = reference().cases;
      if (info.param >= cases.size()) return std::string("none");
      std::string n =
          fmt::format("{:02}_{}", info.param,
                      std::string(cases[info.param].as_object().at("indicator").as_string()));
      for (char& c : n) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return n;
    });

}  // namespace
}  // namespace tolbu_sdk::ta::testing
