// The subscription registry and the names of callables in log lines.

#include <boost/core/demangle.hpp>

#include <algorithm>

#include "tolbu_sdk/features/streaming.hpp"

namespace tolbu_sdk::features {

std::string detail::callable_name(const std::type_info& type) {
  return boost::core::demangle(type.name());
}

// Keys are kept apart from the records: a record's fields stay assignable.
std::shared_ptr<TolbuSubscription> SubscriptionRegistry::find(std::string_view name) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& e) { return e.first == name; });
  return it == entries_.end() ? nullptr : it->second;
}

void SubscriptionRegistry::insert(std::shared_ptr<TolbuSubscription> record) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& e) { return e.first == record->channel_name; });
  if (it != entries_.end()) {
    it->second = std::move(record);
  } else {
    std::string key = record->channel_name;
    entries_.emplace_back(std::move(key), std::move(record));
  }
}

bool SubscriptionRegistry::erase(std::string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& e) { return e.first == name; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

std::vector<std::shared_ptr<TolbuSubscription>> SubscriptionRegistry::records() const {
  std::vector<std::shared_ptr<TolbuSubscription>> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.second);
  return out;
}

std::vector<std::string> SubscriptionRegistry::channel_names() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

}  // namespace tolbu_sdk::features
