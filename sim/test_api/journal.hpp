#pragma once
// Every request the sim received, for tests to read back over HTTP.

#include "server/http_types.hpp"

#include <boost/json/array.hpp>

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>

namespace tolbu_sim {

class Journal {
 public:
  explicit Journal(std::size_t limit) : limit_(limit) {}

  void record(const SimRequest& request);
  void clear();
  // Entries whose path starts with path_prefix, oldest first, as
  // {"method","target","path","headers":{name: value},"body","arrival"}, where arrival counts
  // how often the same method, target and body had arrived up to this one (1 the first time).
  boost::json::array entries(std::string_view path_prefix = {}) const;
  std::size_t size() const;

 private:
  struct Entry {
    std::string method, target, path, body;
    HeaderList headers;
    std::size_t arrival = 1;
  };
  std::size_t limit_;
  std::map<std::string, std::size_t> arrivals_;
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
};

}  // namespace tolbu_sim
