#include "reference.hpp"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "tolbu_sdk/platform/datetime.hpp"

namespace tolbu_sdk::ta::testing {
namespace json = boost::json;

namespace {

json::value read_json(const std::filesystem::path& p) {
  std::ifstream in(p);
  if (!in) throw std::runtime_error("cannot open " + p.string());
  std::stringstream ss;
  ss << in.rdbuf();
  return json::parse(ss.str());
}

double num(const json::value& v) {
  if (v.is_double()) return v.as_double();
  if (v.is_int64()) return static_cast<double>(v.as_int64());
  if (v.is_uint64()) return static_cast<double>(v.as_uint64());
  throw std::runtime_error("not a number: " + json::serialize(v));
}

Reference load() {
  Reference r;
  const char* env = std::getenv("TOLBU_TA_REFERENCE");
  std::filesystem::path path;
  if (env != nullptr && *env != '\0') {
    path = env;
  } else {
    // The team's shared vectors beside the checkout, else the copy kept in the repository.
    path = std::filesystem::path(TOLBU_SOURCE_DIR) / ".." / "shared" / "reference" /
           "indicators_a.json";
    if (!std::filesystem::exists(path)) {
      path = std::filesystem::path(TOLBU_SOURCE_DIR) / "data" / "ta_reference" /
             "indicators_a.json";
    }
  }
  r.path = path.string();
  try {
    const json::value file = read_json(path);
    const json::object& doc = file.as_object();
    const auto data = path.parent_path() / std::string(doc.at("data").as_string());
    const json::value bars = read_json(data);
    for (const auto& b : bars.as_object().at("bars").as_array()) {
      const auto& o = b.as_object();
      OHLCV bar{num(o.at("open")),   num(o.at("high")),
                num(o.at("low")),    num(o.at("close")),
                num(o.at("volume")), platform::from_epoch_ms(num(o.at("time")))};
      if (const auto* local = o.if_contains("time_local")) {
        r.bar_times_local.emplace_back(local->as_string());
      }
      r.bars.push_back(bar);
    }
    r.cases = doc.at("cases").as_array();
    if (const auto* ops = doc.if_contains("operations")) r.operations = ops->as_array();
  } catch (const std::exception& e) {
    r.error = fmt::format("reading {}: {}", r.path, e.what());
  }
  return r;
}

bool close_enough(double got, double want) {
  if (std::isnan(want)) return std::isnan(got);
  if (std::isinf(want)) return got == want;
  const double diff = std::fabs(got - want);
  return diff <= 1e-9 || diff <= 1e-9 * std::fabs(want);
}

std::string show(const FieldValue& v) {
  struct V {
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(double d) const { return fmt::format("{:.17g}", d); }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::string_view s) const { return fmt::format("\"{}\"", s); }
    std::string operator()(const OHLCV& o) const {
      return fmt::format("{{open {}, high {}, low {}, close {}, volume {}, time {}}}", o.open,
                         o.high, o.low, o.close, o.volume,
                         o.time ? platform::iso_text(*o.time) : "none");
    }
  };
  return std::visit(V{}, v);
}

std::string show(const Value& v) {
  if (const Record* r = std::get_if<Record>(&v)) {
    std::string s = "{";
    for (const Field& f : *r)
      s += fmt::format("{}{}: {}", s.size() > 1 ? ", " : "", f.name, show(f.value));
    return s + "}";
  }
  if (std::holds_alternative<std::monostate>(v)) return "null";
  if (const double* d = std::get_if<double>(&v)) return fmt::format("{:.17g}", *d);
  return show(FieldValue(std::get<OHLCV>(v)));
}

// Empty when `got` matches `want`.
std::string compare_field(const FieldValue& got, const json::value& want) {
  const auto mismatch = [&] {
    return fmt::format("got {}, want {}", show(got), json::serialize(want));
  };
  if (want.is_null()) return std::holds_alternative<std::monostate>(got) ? "" : mismatch();
  if (want.is_bool()) {
    const bool* b = std::get_if<bool>(&got);
    return b != nullptr && *b == want.as_bool() ? "" : mismatch();
  }
  if (want.is_number()) {
    const double* d = std::get_if<double>(&got);
    return d != nullptr && close_enough(*d, num(want)) ? "" : mismatch();
  }
  if (want.is_string()) {
    const auto* s = std::get_if<std::string_view>(&got);
    return s != nullptr && *s == want.as_string() ? "" : mismatch();
  }
  if (want.is_object()) {
    const OHLCV* o = std::get_if<OHLCV>(&got);
    if (o == nullptr) return mismatch();
    const auto& w = want.as_object();
    for (const auto& [key, val] : w) {
      bool ok = true;
      if (key == "open")
        ok = close_enough(o->open, num(val));
      else if (key == "high")
        ok = close_enough(o->high, num(val));
      else if (key == "low")
        ok = close_enough(o->low, num(val));
      else if (key == "close")
        ok = close_enough(o->close, num(val));
      else if (key == "volume")
        ok = close_enough(o->volume, num(val));
      else if (key == "time")
        ok = o->time && platform::iso_text(*o->time) == val.as_string();
      else
        ok = false;
      if (!ok) return mismatch();
    }
    return "";
  }
  return mismatch();
}

std::string compare_value(const Value& got, const json::value& want) {
  const auto mismatch = [&] {
    return fmt::format("got {}, want {}", show(got), json::serialize(want));
  };
  if (want.is_object() && !want.as_object().contains("open")) {
    const Record* r = std::get_if<Record>(&got);
    if (r == nullptr) return mismatch();
    const auto& w = want.as_object();
    if (r->size() != w.size()) return mismatch();
    for (const Field& f : *r) {
      const auto* wf = w.if_contains(f.name);
      if (wf == nullptr) return fmt::format("field '{}' not expected; ", f.name) + mismatch();
      if (auto e = compare_field(f.value, *wf); !e.empty()) {
        return fmt::format("field '{}': {}", f.name, e);
      }
    }
    return "";
  }
  if (std::holds_alternative<Record>(got)) return mismatch();
  FieldValue fv;
  if (const double* d = std::get_if<double>(&got))
    fv = *d;
  else if (const OHLCV* o = std::get_if<OHLCV>(&got))
    fv = *o;
  return compare_field(fv, want);
}

bool same_field(const FieldValue& a, const FieldValue& b) {
  if (a.index() != b.index()) return false;
  if (const double* x = std::get_if<double>(&a)) return close_enough(*x, std::get<double>(b));
  if (const OHLCV* x = std::get_if<OHLCV>(&a)) {
    const OHLCV& y = std::get<OHLCV>(b);
    return close_enough(x->open, y.open) && close_enough(x->high, y.high) &&
           close_enough(x->low, y.low) && close_enough(x->close, y.close) &&
           close_enough(x->volume, y.volume) && x->time == y.time;
  }
  return a == b;
}

bool same_value(const Value& a, const Value& b) {
  if (a.index() != b.index()) return false;
  if (const Record* r = std::get_if<Record>(&a)) {
    const Record& q = std::get<Record>(b);
    if (r->size() != q.size()) return false;
    for (std::size_t i = 0; i < r->size(); ++i) {
      if ((*r)[i].name != q[i].name || !same_field((*r)[i].value, q[i].value)) return false;
    }
    return true;
  }
  if (const double* x = std::get_if<double>(&a)) return close_enough(*x, std::get<double>(b));
  if (const OHLCV* x = std::get_if<OHLCV>(&a)) return same_field(*x, std::get<OHLCV>(b));
  return true;
}

}  // namespace

std::string compare_indicators(const std::string& what, const IndicatorBase& got,
                               const IndicatorBase& want, std::size_t last) {
  if (last == SIZE_MAX && got.size() != want.size()) {
    return fmt::format("{}: {} outputs, want {}\n", what, got.size(), want.size());
  }
  const std::size_t n = std::min({got.size(), want.size(), last});
  std::string errors;
  int shown = 0;
  for (std::size_t k = n; k-- > 0 && shown < 5;) {
    const auto i = -static_cast<std::ptrdiff_t>(k) - 1;
    const Value g = got.output_value(i);
    const Value w = want.output_value(i);
    if (!same_value(g, w)) {
      errors += fmt::format("{} at position {} from the end: got {}, want {}\n", what, k, show(g),
                            show(w));
      ++shown;
    }
  }
  return errors;
}

const Reference& reference() {
  static const Reference r = load();
  return r;
}

std::vector<NamedParam> params_of(const json::object& entry) {
  std::vector<NamedParam> out;
  if (const auto* p = entry.if_contains("params")) {
    for (const auto& [k, v] : p->as_object()) {
      if (v.is_string()) {
        out.push_back({std::string(k), std::string(v.as_string())});
      } else {
        out.push_back({std::string(k), num(v)});
      }
    }
  }
  return out;
}

std::string compare_outputs(const std::string& what, const IndicatorBase& ind,
                            const json::array& expected) {
  std::string errors;
  int shown = 0;
  const std::size_t n = std::min(ind.size(), expected.size());
  for (std::size_t i = 0; i < n && shown < 5; ++i) {
    if (auto e = compare_value(ind.output_value(static_cast<std::ptrdiff_t>(i)), expected[i]);
        !e.empty()) {
      errors += fmt::format("{} at position {}: {}\n", what, i, e);
      ++shown;
    }
  }
  if (ind.size() != expected.size()) {
    errors += fmt::format("{}: {} outputs, want {}\n", what, ind.size(), expected.size());
  }
  return errors;
}

}  // namespace tolbu_sdk::ta::testing
