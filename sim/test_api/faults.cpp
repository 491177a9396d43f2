#include "test_api/faults.hpp"

namespace tolbu_sim {

namespace {

// "\"key\" must be <what>", appended piece by piece: g++ 12 at -O3 takes a literal prepended
// to a std::string for an overlapping copy (-Wrestrict).
std::string must_be(std::string_view key, std::string_view what) {
  std::string out;
  out.reserve(key.size() + what.size() + 12);
  out += '"';
  out += key;
  out += "\" must be ";
  out += what;
  return out;
}

}  // namespace

SimResponse Fault::response() const {
  SimResponse response;
  response.status = status.value_or(500);
  response.body = body.value_or("");
  response.content_type = content_type;
  return response;
}

boost::json::object Fault::to_json() const {
  boost::json::object out{{"count", count},
                          {"path_prefix", path_prefix},
                          {"method", method},
                          {"content_type", content_type},
                          {"delay_ms", delay.count()},
                          {"drop", drop},
                          {"act", act}};
  out["status"] = status ? boost::json::value(*status) : boost::json::value(nullptr);
  out["body"] = body ? boost::json::value(*body) : boost::json::value(nullptr);
  return out;
}

std::optional<Fault> Fault::from_json(const boost::json::object& object, std::string& message) {
  Fault fault;
  auto integer = [&](std::string_view key, auto& out, long long low, long long high) {
    auto* v = object.if_contains(key);
    if (!v || v->is_null()) return true;
    auto n = v->if_int64();
    if (!n || *n < low || *n > high) {
      message = must_be(key, "an integer from ");
      message += std::to_string(low);
      message += " to ";
      message += std::to_string(high);
      return false;
    }
    out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
    return true;
  };
  auto text = [&](std::string_view key, auto& out) {
    auto* v = object.if_contains(key);
    if (!v || v->is_null()) return true;
    if (!v->is_string()) {
      message = must_be(key, "a string");
      return false;
    }
    out = std::string(v->as_string());
    return true;
  };
  int status = 0;
  long long delay_ms = 0;
  std::string body;
  if (!integer("count", fault.count, 1, 1000000)) return std::nullopt;
  if (!integer("delay_ms", delay_ms, 0, 3600000)) return std::nullopt;
  if (!text("path_prefix", fault.path_prefix) || !text("method", fault.method) ||
      !text("content_type", fault.content_type))
    return std::nullopt;
  if (object.contains("status") && !object.at("status").is_null()) {
    if (!integer("status", status, 100, 599)) return std::nullopt;
    fault.status = status;
  }
  if (object.contains("body") && !object.at("body").is_null()) {
    if (!text("body", body)) return std::nullopt;
    fault.body = body;
  }
  if (auto* drop = object.if_contains("drop"); drop && !drop->is_null()) {
    if (!drop->is_bool()) {
      message = "\"drop\" must be true or false";
      return std::nullopt;
    }
    fault.drop = drop->as_bool();
  }
  if (auto* act = object.if_contains("act"); act && !act->is_null()) {
    if (!act->is_bool() || (act->as_bool() && !fault.drop && !fault.replaces_answer())) {
      message = "\"act\" must be true or false, and true only with \"drop\" or an answer";
      return std::nullopt;
    }
    fault.act = act->as_bool();
  }
  fault.delay = std::chrono::milliseconds(delay_ms);
  if (!fault.drop && !fault.replaces_answer() && fault.delay.count() == 0) {
    message = "a fault needs a \"status\", a \"body\", a \"delay_ms\" or \"drop\"";
    return std::nullopt;
  }
  return fault;
}

void FaultScript::add(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void FaultScript::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::optional<Fault> FaultScript::take(std::string_view method, std::string_view path) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!path.starts_with(it->path_prefix)) continue;
    if (!it->method.empty() && it->method != method) continue;
    Fault taken = *it;
    taken.count = 1;
    if (--it->count <= 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

boost::json::array FaultScript::pending() const {
  std::lock_guard lock(mutex_);
  boost::json::array out;
  for (const auto& fault : faults_) out.push_back(fault.to_json());
  return out;
}

}  // namespace tolbu_sim
