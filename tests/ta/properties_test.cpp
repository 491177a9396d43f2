// Properties every registered indicator must have, run with the parameters of each reference
// case: editing the input (update, remove) leaves the same outputs as a plain run, starting
// over gives the same outputs again, and a bounded history computes the same newest values,
// also after removing as many inputs as it lets go.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include "reference.hpp"

namespace tolbu_sdk::ta::testing {
namespace {
namespace json = boost::json;

// One case of the vectors: its indicator, parameters and inputs.
class Subject {
 public:
  explicit Subject(const json::object& entry)
      : entry_(&entry),
        name_(entry.at("indicator").as_string()),
        what_(name_ + json::serialize(entry.at("params"))) {}

  bool registered() const { return Registry::instance().contains(name_); }
  const std::string& what() const { return what_; }
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

 private:
  const json::object* entry_;
  std::string name_;
  std::string what_;
};

// Runs `check` on every case of the vectors file, however many it holds.
template <class Check>
void for_every_case(Check check) {
  const Reference& ref = reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  ASSERT_FALSE(ref.cases.empty()) << ref.path << " holds no cases";
  for (const auto& c : ref.cases) {
    const Subject s(c.as_object());
    if (!s.registered()) {
      ADD_FAILURE() << s.what() << " is not registered";
      continue;
    }
    check(s);
  }
}

TEST(Properties, EditedInputGivesThePlainRunsOutputs) {
  for_every_case([](const Subject& s) {
    auto plain = s.make();
    s.run(*plain);
    auto edited = s.make();
    const std::size_t n = reference().bars.size();
    for (std::size_t i = 0; i < n; ++i) {
      edited->add_value(s.input(i));
      if (i % 4 == 1) {
        edited->update_value(s.input(i * 7 + 3));  // a different bar, then back
        edited->update_value(s.input(i));
      }
      if (i % 6 == 3) {
        edited->remove();
        edited->add_value(s.input(i * 5 + 1));
        edited->remove();
        edited->add_value(s.input(i));
      }
      if (i % 50 == 49) {  // several removals in a row, then the same inputs again
        for (int k = 0; k < 3; ++k) edited->remove();
        for (std::size_t j = i - 2; j <= i; ++j) edited->add_value(s.input(j));
      }
    }
    const std::string errors = compare_indicators(s.what() + " edited", *edited, *plain);
    EXPECT_TRUE(errors.empty()) << errors;

    edited->remove_all();
    EXPECT_EQ(edited->size(), 0u) << s.what();
    s.run(*edited);
    const std::string again = compare_indicators(s.what() + " after remove_all", *edited, *plain);
    EXPECT_TRUE(again.empty()) << again;
  });
}

TEST(Properties, BoundedHistoryComputesTheSameNewestValues) {
  for_every_case([](const Subject& s) {
    auto plain = s.make();
    s.run(*plain);
    for (std::size_t bound : {1u, 60u}) {
      auto bounded = s.make({.max_history = bound});
      s.run(*bounded);
      EXPECT_LE(bounded->size(), std::max<std::size_t>(bound, 200)) << s.what();
      const std::string errors =
          compare_indicators(fmt::format("{} bounded to {}", s.what(), bound), *bounded, *plain,
                             std::min<std::size_t>(bound, 5));
      EXPECT_TRUE(errors.empty()) << errors;
      // Removing what is held and adding it back is still exact.
      bounded->remove();
      bounded->add_value(s.input(reference().bars.size() - 1));
      const std::string after = compare_indicators(
          fmt::format("{} bounded to {}, newest re-added", s.what(), bound), *bounded, *plain, 1);
      EXPECT_TRUE(after.empty()) << after;
    }
  });
}

// An indicator with a bounded history lets its inputs be removed down to what its computation
// reads; what it keeps inside (blocks, inner indicators) must allow as many removals. ADX(1, 1)
// with a history of 1, fed three bars, then two removed, took its second removal half-way
// and read its smoothed movements past their end when the next bar came.
TEST(Properties, BoundedHistoryRemovesAsFarAsItLets) {
  for_every_case([](const Subject& s) {
    for (std::size_t bound : {1u, 16u}) {
      for (std::size_t fed = 1; fed <= 60; ++fed) {
        auto plain = s.make();
        auto bounded = s.make({.max_history = bound});
        for (std::size_t i = 0; i < fed; ++i) {
          plain->add_value(s.input(i));
          bounded->add_value(s.input(i));
        }
        std::size_t removed = 0;
        for (; removed < fed; ++removed) {
          try {
            bounded->remove();
          } catch (const ValueError&) {
            break;  // it no longer holds what the computation needs
          }
          plain->remove();
        }
        for (std::size_t i = fed - removed; i < fed + 3; ++i) {
          plain->add_value(s.input(i));
          bounded->add_value(s.input(i));
        }
        const std::string errors = compare_indicators(
            fmt::format("{} bounded to {}, fed {}, {} removed", s.what(), bound, fed, removed),
            *bounded, *plain, 4);
        if (!errors.empty()) {
          ADD_FAILURE() << errors;
          return;  // one failure per case says enough
        }
      }
    }
  });
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing
