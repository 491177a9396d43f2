#pragma once
// The name-based factory: every indicator registers itself from its own source file, so that
// any indicator can be built from its name and parameters (the smart layer, the conformance
// test, configuration-driven strategies).

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

// A parameter value: a number, or the name of an enumeration member ("EMA").
using ParamValue = std::variant<double, std::string>;
// A parameter given by name.
struct TOLBU_API NamedParam {
  // The constructor parameter's name ("period").
  std::string name;
  // Its value.
  ParamValue value;
};

// The arguments of one construction, read by the factory in constructor order: each read
// takes the next positional argument, else the named one, else the default.
class TOLBU_API Params {
 public:
  // The arguments for `indicator` (named in error messages): `positional` first, then `named`.
  Params(std::string_view indicator, std::vector<ParamValue> positional,
         std::vector<NamedParam> named);

  // The next parameter as a whole number; TypeError when missing or not a number, ValueError
  // when not whole.
  int integer(std::string_view name);
  // The same, `fallback` when not given.
  int integer(std::string_view name, int fallback);
  // The next parameter as a number; TypeError when missing or not a number.
  double number(std::string_view name);
  // The same, `fallback` when not given.
  double number(std::string_view name, double fallback);
  // The next parameter as an MAType by name, `fallback` when not given; TypeError for a number,
  // ValueError for an unknown name.
  MAType ma_type(std::string_view name, MAType fallback);

  // Throws for arguments no read took (too many positional ones, unknown names).
  void finish() const;

 private:
  const ParamValue* take(std::string_view name);
  int to_integer(std::string_view name, const ParamValue& v) const;
  double to_number(std::string_view name, const ParamValue& v) const;

  std::string indicator_;
  std::vector<ParamValue> positional_;
  std::vector<NamedParam> named_;
  std::vector<bool> named_used_;
  std::size_t next_ = 0;
};

// Builds an indicator from its parameters; construct<T> is the usual one.
using Factory = std::unique_ptr<IndicatorBase> (*)(Params&, const IndicatorOptions&);

// Builds T from its parameters: T, or a class deriving from it, has T's reading constructor.
template <class T>
std::unique_ptr<IndicatorBase> construct(Params& params, const IndicatorOptions& options) {
  return std::make_unique<T>(params, options);
}

// A table of factories by name. The library's own is instance(); a layer that builds its
// own variants of the indicators (the smart layer) keeps another.
class TOLBU_API Registry {
 public:
  Registry() = default;
  // The library's own table, where TOLBU_TA_REGISTER puts every indicator.
  static Registry& instance();
  // Registers `factory` under `name`; std::logic_error when the name is taken.
  void add(std::string_view name, Factory factory);
  // Whether `name` is registered.
  bool contains(std::string_view name) const;
  // Registered names, ascending.
  std::vector<std::string> names() const;
  // Builds the named indicator; ValueError for an unknown name or bad parameters.
  std::unique_ptr<IndicatorBase> create(std::string_view name,
                                        std::vector<ParamValue> positional = {},
                                        std::vector<NamedParam> named = {},
                                        const IndicatorOptions& options = {}) const;

 private:
  std::vector<std::pair<std::string, Factory>> entries_;  // sorted by name
};

// Builds the named indicator from the library's table: Registry::instance().create(...).
inline std::unique_ptr<IndicatorBase> create_indicator(std::string_view name,
                                                       std::vector<ParamValue> positional = {},
                                                       std::vector<NamedParam> named = {},
                                                       const IndicatorOptions& options = {}) {
  return Registry::instance().create(name, std::move(positional), std::move(named), options);
}

// Registers a factory with the library's table when constructed; see TOLBU_TA_REGISTER.
struct TOLBU_API Registrar {
  // Adds `factory` under `name` to Registry::instance().
  Registrar(std::string_view name, Factory factory) { Registry::instance().add(name, factory); }
};

}  // namespace tolbu_sdk::ta

// Registers indicator NAME, built by its reading constructor; put it once, at global scope,
// at the end of the indicator's source.
#define TOLBU_TA_REGISTER(NAME)                                       \
  namespace tolbu_sdk::ta {                                           \
  namespace {                                                         \
  const Registrar tolbu_ta_registrar_##NAME(#NAME, &construct<NAME>); \
  }                                                                   \
  }
