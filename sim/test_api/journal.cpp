#include "test_api/journal.hpp"

#include <boost/json/object.hpp>

namespace tolbu_sim {

void Journal::record(const SimRequest& request) {
  std::lock_guard lock(mutex_);
  if (limit_ == 0) return;
  if (entries_.size() >= limit_) entries_.pop_front();
  std::string key = request.method + ' ' + request.target + '\n' + request.body;
  std::size_t arrival = ++arrivals_[key];
  entries_.push_back(
      Entry{request.method, request.target, request.path, request.body, request.headers, arrival});
}

void Journal::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  arrivals_.clear();
}

std::size_t Journal::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

boost::json::array Journal::entries(std::string_view path_prefix) const {
  std::lock_guard lock(mutex_);
  boost::json::array out;
  for (const auto& entry : entries_) {
    if (!entry.path.starts_with(path_prefix)) continue;
    boost::json::object headers;
    for (const auto& [name, value] : entry.headers) {
      // A repeated header keeps every value, joined as HTTP allows.
      if (auto* existing = headers.if_contains(name)) {
        std::string joined(existing->as_string());
        joined += ", ";
        joined += value;
        *existing = joined;
      } else {
        headers[name] = value;
      }
    }
    out.push_back(boost::json::object{{"method", entry.method},
                                      {"target", entry.target},
                                      {"path", entry.path},
                                      {"headers", std::move(headers)},
                                      {"body", entry.body},
                                      {"arrival", entry.arrival}});
  }
  return out;
}

}  // namespace tolbu_sim
