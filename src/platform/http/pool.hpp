#pragma once
// Idle keep-alive connections, one lane per event loop. A connection's socket belongs to the
// loop it was opened on, so only coroutines on that loop may take it again; when the loop is
// destroyed, its lanes are emptied before its sockets' services go.

#include "connection.hpp"

#include <boost/asio/execution_context.hpp>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolbu_sdk::platform::http::detail {

class Lane {
 public:
  // The newest idle connection for key, or null.
  std::unique_ptr<Connection> take(const std::string& key);
  // Keeps the connection unless max idle ones are kept already or the loop is gone.
  void give(std::unique_ptr<Connection> connection, std::size_t max);
  // Closes every idle connection; with loop_gone, the lane takes none any more.
  void clear(bool loop_gone);
  bool loop_gone();

 private:
  std::mutex mutex_;
  bool loop_gone_ = false;
  std::vector<std::unique_ptr<Connection>> idle_;
};

// Lives in each loop that has lanes; empties them when the loop shuts down.
class LaneRegistry : public boost::asio::execution_context::service {
 public:
  using key_type = LaneRegistry;
  static inline boost::asio::execution_context::id id;

  explicit LaneRegistry(boost::asio::execution_context& context);
  void add(const std::shared_ptr<Lane>& lane);

 private:
  void shutdown() override;

  std::mutex mutex_;
  std::vector<std::weak_ptr<Lane>> lanes_;
};

}  // namespace tolbu_sdk::platform::http::detail
