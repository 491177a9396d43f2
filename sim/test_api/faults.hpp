#pragma once
// Scripted faults: the next N matching requests get a given answer, a delay, or a dropped
// connection.

#include "server/http_types.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolbu_sim {

struct Fault {
  int count = 1;
  std::string path_prefix;  // empty: any path
  std::string method;       // empty: any method
  std::optional<int> status;
  std::optional<std::string> body;
  std::string content_type = "application/json";
  std::chrono::milliseconds delay{0};
  bool drop = false;  // close the connection without an answer
  bool act = false;   // with drop or an answer: handle the request first, as a back end
                      // whose gateway then fails

  // An answer replaces the real one when a status or a body is given.
  bool replaces_answer() const { return status.has_value() || body.has_value(); }
  SimResponse response() const;
  boost::json::object to_json() const;
  // Reads {"count","status","body","content_type","delay_ms","drop","act","path_prefix",
  // "method"};
  // a message explains a bad field.
  static std::optional<Fault> from_json(const boost::json::object& object, std::string& message);
};

class FaultScript {
 public:
  void add(Fault fault);
  void clear();
  // Takes one use of the first pending fault that matches.
  std::optional<Fault> take(std::string_view method, std::string_view path);
  boost::json::array pending() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
};

}  // namespace tolbu_sim
