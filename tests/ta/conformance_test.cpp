// Runs every case and operation of the reference vectors against the library.

#include <gtest/gtest.h>

#include <charconv>
#include <regex>

#include <fmt/format.h>

#include "reference.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta::testing {
namespace {
namespace json = boost::json;

// How a case or operation is named in failure messages: its position and indicator.
std::string label(std::size_t i, const json::object& entry) {
  return fmt::format("#{} {}{}", i, std::string(entry.at("indicator").as_string()),
                     entry.contains("params") ? json::serialize(entry.at("params")) : "");
}

std::string indicator_name(const json::object& e) {
  return std::string(e.at("indicator").as_string());
}

std::unique_ptr<IndicatorBase> build(const json::object& e, const IndicatorOptions& o = {}) {
  return create_indicator(indicator_name(e), {}, params_of(e), o);
}

Value input_of(const json::object& e, const OHLCV& bar) {
  if (e.at("input").as_string() == "close") return bar.close;
  return bar;
}

// The bars' times are read in local time; the vectors were made with TZ=UTC.
TEST(Reference, BarTimesReadAsLocalTimes) {
  const Reference& ref = reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  ASSERT_FALSE(ref.bars.empty());
  for (std::size_t i = 0; i < ref.bar_times_local.size(); ++i) {
    ASSERT_EQ(platform::iso_text(*ref.bars[i].time), ref.bar_times_local[i]) << "bar " << i;
  }
}

// ---------------------------------------------------------------------------------------
// Every case of the file, however many it holds: the count is not fixed when tests are listed.
TEST(Reference, EveryCaseMatches) {
  const Reference& ref = reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  ASSERT_FALSE(ref.cases.empty()) << ref.path << " holds no cases";
  for (std::size_t i = 0; i < ref.cases.size(); ++i) {
    const auto& c = ref.cases[i].as_object();
    const std::string name = indicator_name(c);
    if (!Registry::instance().contains(name)) {
      ADD_FAILURE() << label(i, c) << ": " << name << " is not registered";
      continue;
    }
    auto ind = build(c);
    for (const OHLCV& bar : ref.bars) ind->add_value(input_of(c, bar));
    const std::string errors = compare_outputs(label(i, c), *ind, c.at("outputs").as_array());
    EXPECT_TRUE(errors.empty()) << errors;
  }
}

// ---------------------------------------------------------------------------------------
// Operations: the script is read clause by clause ("add closes of bars 0..59",
// "update(close of bar 60)", "remove()", "add(close of bar 61)", "EMA built with
// input_indicator=SMA(5)", "closes of bars 0..119 added to the SMA", "all bars added",
// "fed every bar").

std::vector<std::string> clauses(const std::string& script) {
  std::vector<std::string> out;
  static const std::regex sep("\\s*[,;]\\s*(?![^()]*\\))");
  for (std::sregex_token_iterator it(script.begin(), script.end(), sep, -1), end; it != end; ++it) {
    if (!it->str().empty()) out.push_back(it->str());
  }
  return out;
}

std::vector<ParamValue> positional_args(const std::string& text) {
  std::vector<ParamValue> out;
  static const std::regex num("[-+0-9.eE]+");
  for (std::sregex_iterator it(text.begin(), text.end(), num), end; it != end; ++it) {
    out.emplace_back(std::in_place_index<0>, std::stod(it->str()));
  }
  return out;
}

// Empty when the operation gives the reference's outputs; otherwise what went wrong.
std::string run_operation(const Reference& ref, const json::object& op) {
  const std::string name = indicator_name(op);
  const std::string script(op.at("script").as_string());
  const std::string input(op.at("input").as_string());
  const std::string what = fmt::format("operation '{}'", std::string(op.at("name").as_string()));
  if (!Registry::instance().contains(name)) return what + ": " + name + " is not registered";

  std::unique_ptr<IndicatorBase> feeder;  // what the inputs are given to, when not the indicator
  std::unique_ptr<IndicatorBase> ind;
  IndicatorOptions options;
  if (const auto* s = op.if_contains("input_sampling")) {
    auto period = sampling_period_from_name(std::string(s->as_string()));
    if (!period) return what + ": unknown sampling period " + json::serialize(*s);
    if (input == "bar") {
      // A value indicator fed bars through a pass-through with the sampling: the smart
      // layer's path. Its outputs are the bars; the indicator takes their closes.
      struct PassThrough : Indicator<OHLCV, OHLCV> {
        explicit PassThrough(const IndicatorOptions& o) : Indicator(o) {}
        std::optional<OHLCV> _calculate_new_value() override { return input_values().back(); }
      };
      feeder = std::make_unique<PassThrough>(IndicatorOptions{.input_sampling = period});
      options.input_indicator = feeder.get();
      options.input_modifier = [](const Value& v) -> Value {
        if (const OHLCV* b = std::get_if<OHLCV>(&v)) return b->close;
        return v;
      };
    } else {
      options.input_sampling = period;
    }
  }

  const auto bar_input = [&](std::size_t i) -> Value {
    if (input == "close") return ref.bars.at(i).close;
    return ref.bars.at(i);
  };
  static const std::regex add_range("add (?:closes of )?bars (\\d+)\\.\\.(\\d+)");
  static const std::regex fed_range("(?:closes of )?bars (\\d+)\\.\\.(\\d+) added to the \\w+");
  static const std::regex one("(add|update)\\((?:close of )?bar (\\d+)\\)");
  static const std::regex chained("\\w+ built with input_indicator=(\\w+)\\(([^)]*)\\)");
  std::smatch m;
  for (const std::string& clause : clauses(script)) {
    if (std::regex_match(clause, m, chained)) {
      feeder = create_indicator(m[1].str(), positional_args(m[2].str()), {});
      options.input_indicator = feeder.get();
      continue;
    }
    if (!ind) ind = build(op, options);
    IndicatorBase& target = feeder ? *feeder : *ind;
    if (std::regex_match(clause, m, add_range) || std::regex_match(clause, m, fed_range)) {
      for (std::size_t i = std::stoul(m[1].str()); i <= std::stoul(m[2].str()); ++i) {
        target.add_value(bar_input(i));
      }
    } else if (std::regex_match(clause, m, one)) {
      if (m[1].str() == "add") {
        target.add_value(bar_input(std::stoul(m[2].str())));
      } else {
        target.update_value(bar_input(std::stoul(m[2].str())));
      }
    } else if (clause == "remove()") {
      target.remove();
    } else if (clause == "all bars added" || clause.find("fed every bar") != std::string::npos) {
      for (std::size_t i = 0; i < ref.bars.size(); ++i) target.add_value(bar_input(i));
    } else if (clause.find("sampling") != std::string::npos ||
               clause.find("built with") != std::string::npos) {
      // Describes how the indicator was built: done above from the entry's fields.
    } else {
      return what + ": cannot read the clause '" + clause + "'";
    }
  }
  if (!ind) return what + ": the script builds nothing";
  return compare_outputs(what, *ind, op.at("outputs").as_array());
}

TEST(Reference, EveryOperationMatches) {
  const Reference& ref = reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  for (const auto& op : ref.operations) {
    const std::string errors = run_operation(ref, op.as_object());
    EXPECT_TRUE(errors.empty()) << errors;
  }
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing
