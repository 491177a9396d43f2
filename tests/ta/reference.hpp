#pragma once
// Loading the reference vectors and comparing an indicator's outputs with them.

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta::testing {

struct Reference {
  std::string path;
  std::string error;  // non-empty when the file could not be read
  std::vector<OHLCV> bars;
  std::vector<std::string> bar_times_local;  // as the file gives them
  boost::json::array cases;
  boost::json::array operations;
};

// The vectors named by TOLBU_TA_REFERENCE, else ../shared/reference beside the repository,
// else the copy in data/ta_reference.
const Reference& reference();

// Named constructor parameters of a case or operation.
std::vector<NamedParam> params_of(const boost::json::object& entry);

// Empty when the outputs match; otherwise says where and how they differ.
std::string compare_outputs(const std::string& what, const IndicatorBase& ind,
                            const boost::json::array& expected);

// Empty when both indicators hold the same outputs (the newest `last` of them, if given).
std::string compare_indicators(const std::string& what, const IndicatorBase& got,
                               const IndicatorBase& want, std::size_t last = SIZE_MAX);

}  // namespace tolbu_sdk::ta::testing
