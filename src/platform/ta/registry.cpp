#include "tolbu_sdk/ta/registry.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::ta {

Params::Params(std::string_view indicator, std::vector<ParamValue> positional,
               std::vector<NamedParam> named)
    : indicator_(indicator),
      positional_(std::move(positional)),
      named_(std::move(named)),
      named_used_(named_.size(), false) {}

const ParamValue* Params::take(std::string_view name) {
  const ParamValue* found = nullptr;
  if (next_ < positional_.size()) found = &positional_[next_++];
  for (std::size_t i = 0; i < named_.size(); ++i) {
    if (named_[i].name != name) continue;
    if (found != nullptr) {
      throw TypeError(fmt::format("{}: parameter '{}' given twice", indicator_, name));
    }
    named_used_[i] = true;
    found = &named_[i].value;
  }
  return found;
}

double Params::to_number(std::string_view name, const ParamValue& v) const {
  if (const double* d = std::get_if<double>(&v)) {
    if (!std::isfinite(*d)) {
      throw ValueError(fmt::format("{}: parameter '{}' must be a finite number", indicator_, name));
    }
    return *d;
  }
  throw TypeError(fmt::format("{}: parameter '{}' must be a number", indicator_, name));
}

int Params::to_integer(std::string_view name, const ParamValue& v) const {
  const double d = to_number(name, v);
  if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 1e9) {
    throw ValueError(
        fmt::format("{}: parameter '{}' must be a whole number, not {}", indicator_, name, d));
  }
  return static_cast<int>(d);
}

int Params::integer(std::string_view name) {
  const ParamValue* v = take(name);
  if (v == nullptr) {
    throw TypeError(fmt::format("{}: missing parameter '{}'", indicator_, name));
  }
  return to_integer(name, *v);
}

int Params::integer(std::string_view name, int fallback) {
  const ParamValue* v = take(name);
  return v == nullptr ? fallback : to_integer(name, *v);
}

double Params::number(std::string_view name) {
  const ParamValue* v = take(name);
  if (v == nullptr) {
    throw TypeError(fmt::format("{}: missing parameter '{}'", indicator_, name));
  }
  return to_number(name, *v);
}

double Params::number(std::string_view name, double fallback) {
  const ParamValue* v = take(name);
  return v == nullptr ? fallback : to_number(name, *v);
}

MAType Params::ma_type(std::string_view name, MAType fallback) {
  const ParamValue* v = take(name);
  if (v == nullptr) return fallback;
  const std::string* s = std::get_if<std::string>(v);
  if (s == nullptr) {
    throw TypeError(fmt::format("{}: parameter '{}' must name an MAType", indicator_, name));
  }
  if (auto t = ma_type_from_name(*s)) return *t;
  throw ValueError(fmt::format("{}: unknown MAType '{}'", indicator_, *s));
}

void Params::finish() const {
  if (next_ < positional_.size()) {
    throw TypeError(fmt::format("{}: takes {} positional parameters, {} given", indicator_, next_,
                                positional_.size()));
  }
  for (std::size_t i = 0; i < named_.size(); ++i) {
    if (!named_used_[i]) {
      throw TypeError(fmt::format("{}: unknown parameter '{}'", indicator_, named_[i].name));
    }
  }
}

Registry& Registry::instance() {
  static Registry registry;
  return registry;
}

void Registry::add(std::string_view name, Factory factory) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                             [](const auto& e, std::string_view n) { return e.first < n; });
  if (it != entries_.end() && it->first == name) {
    throw std::logic_error(fmt::format("indicator '{}' registered twice", name));
  }
  entries_.insert(it, {std::string(name), factory});
}

bool Registry::contains(std::string_view name) const {
  return std::binary_search(
      entries_.begin(), entries_.end(), name, [](const auto& a, const auto& b) {
        if constexpr (std::is_same_v<std::decay_t<decltype(a)>, std::string_view>) {
          return a < b.first;
        } else {
          return a.first < b;
        }
      });
}

std::vector<std::string> Registry::names() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

std::unique_ptr<IndicatorBase> Registry::create(std::string_view name,
                                                std::vector<ParamValue> positional,
                                                std::vector<NamedParam> named,
                                                const IndicatorOptions& options) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                             [](const auto& e, std::string_view n) { return e.first < n; });
  if (it == entries_.end() || it->first != name) {
    throw ValueError(fmt::format("unknown indicator '{}'", name));
  }
  Params params(name, std::move(positional), std::move(named));
  auto indicator = it->second(params, options);
  params.finish();
  return indicator;
}

}  // namespace tolbu_sdk::ta
