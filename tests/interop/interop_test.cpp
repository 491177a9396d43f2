// Interoperability: the official JavaScript Centrifugo client (npm "centrifuge" with "ws",
// installed by scripts/setup-deps) against tolbu-sim, next to our TolbuStream on the same
// channel. Skipped when node or the packages are missing.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "loop_support.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/features/streaming.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolbu_test::SimProcess;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;

std::string find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const auto candidate = fs::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

fs::path npm_modules() {
  if (const char* dir = std::getenv("TOLBU_NPM_DIR"); dir && *dir)
    return fs::path(dir) / "node_modules";
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/nonexistent") / ".cache/tolbu-sdk/npm/node_modules";
}

// A child process whose standard output is read without blocking.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& node_path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(fds[1], STDOUT_FILENO);
      ::setenv("NODE_PATH", node_path.c_str(), 1);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (pid_ > 0 && !exited()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(fd_);
  }

  const std::string& output() {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
      out_.append(buffer, static_cast<std::size_t>(n));
    return out_;
  }
  bool exited() {
    if (status_ >= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      output();
    }
    return status_ >= 0;
  }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
  std::string out_;
};

TEST(Interop, OfficialJavaScriptClientAndOursShareAChannelOnTolbuSim) {
  const auto node = find_on_path("node");
  if (node.empty()) GTEST_SKIP() << "node is not installed";
  const auto modules = npm_modules();
  if (!fs::exists(modules / "centrifuge/package.json") || !fs::exists(modules / "ws/package.json"))
    GTEST_SKIP() << "npm packages centrifuge and ws are not in " << modules
                 << " (scripts/setup-deps installs them)";

  SimProcess sim({"--speed", "0"});
  tolbu_sdk::TolbuConfig config;
  config.streaming_ws = sim.ws_url();
  config.jwt_token = sim.jwt();
  const std::string channel = "algo:AlgoMaster:INTEROP";
  asio::io_context io;
  std::vector<json::value> ours;
  std::unique_ptr<Child> js;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        tolbu_sdk::features::TolbuStream stream(config);
        co_await stream.connect();
        co_await stream.subscribe_algo_master("INTEROP",
                                              [&](const json::value& v) { ours.push_back(v); });
        EXPECT_TRUE(co_await until([&] {
          auto stats = json::parse(sim.get("/_sim/streaming/stats").body);
          return stats.at("subscribers").as_object().contains(channel);
        }));
        js = std::make_unique<Child>(
            std::vector<std::string>{node, TOLBU_INTEROP_SCRIPT, std::to_string(sim.port()),
                                     sim.jwt(), channel},
            modules.string());
        EXPECT_TRUE(co_await until([&] { return js->exited(); }, 20s)) << js->output();
        // What the JavaScript client published reached our client as well.
        EXPECT_TRUE(co_await until([&] { return ours.size() == 2; }));
        co_await stream.disconnect();
      },
      30s);
  ASSERT_TRUE(js);
  const auto out = js->output();
  EXPECT_EQ(js->status(), 0) << out;
  EXPECT_NE(out.find("connected websocket\n"), std::string::npos) << out;
  EXPECT_NE(out.find("subscribed " + channel + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("publication {\"from\":\"sim\",\"n\":1}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("publication {\"from\":\"js\",\"n\":2}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("unsubscribed 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("subscribers 1\n"), std::string::npos) << "ours is still subscribed\n" << out;
  EXPECT_NE(out.find("refused 3500 invalid token\n"), std::string::npos) << out;
  ASSERT_EQ(ours.size(), 2u);
  EXPECT_EQ(ours[0], (json::object{{"from", "sim"}, {"n", 1}}));
  EXPECT_EQ(ours[1], (json::object{{"from", "js"}, {"n", 2}}));
}

// The JavaScript client and ours side by side through a dropped connection: both recover
// what the sim published while they were away; both refresh their 2 s tokens.
TEST(Interop, BothClientsRecoverMissedPublicationsWithShortLivedTokens) {
  const auto node = find_on_path("node");
  if (node.empty()) GTEST_SKIP() << "node is not installed";
  const auto modules = npm_modules();
  if (!fs::exists(modules / "centrifuge/package.json") || !fs::exists(modules / "ws/package.json"))
    GTEST_SKIP() << "npm packages centrifuge and ws are not in " << modules;
  SimProcess sim({"--speed", "0", "--token-ttl", "2"});
  tolbu_sdk::TolbuConfig config;
  config.streaming_ws = sim.ws_url();
  config.jwt_token = sim.jwt();
  const std::string channel = "market:TradeLog:INTEROP";
  asio::io_context io;
  std::vector<std::int64_t> ours;
  std::unique_ptr<Child> js;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        tolbu_sdk::features::TolbuStream stream(config);
        int connects = 0;
        co_await stream.connect([&] { ++connects; });
        co_await stream.subscribe_trade_log(
            "INTEROP", [&](const json::value& v) { ours.push_back(v.at("n").as_int64()); });
        js = std::make_unique<Child>(
            std::vector<std::string>{node, TOLBU_INTEROP_SCRIPT, std::to_string(sim.port()),
                                     sim.jwt(), channel, "recover"},
            modules.string());
        EXPECT_TRUE(co_await until([&] { return js->exited(); }, 25s)) << js->output();
        EXPECT_TRUE(co_await until([&] { return ours.size() == 3; }));
        EXPECT_TRUE(stream.connected());
        EXPECT_EQ(connects, 2);  // the drop, and no expiry
        co_await stream.disconnect();
      },
      40s);
  ASSERT_TRUE(js);
  const auto out = js->output();
  EXPECT_EQ(js->status(), 0) << out;
  EXPECT_NE(out.find("wasRecovering true recovered true\n"), std::string::npos) << out;
  EXPECT_NE(out.find("received 1 2 3\n"), std::string::npos) << out;
  // One token to connect, the others came for refreshes.
  std::smatch tokens;
  ASSERT_TRUE(std::regex_search(out, tokens, std::regex("tokens (\\d+) state connected\n")))
      << out;
  EXPECT_GE(std::stoi(tokens[1]), 2) << "the JavaScript client never refreshed its token";
  EXPECT_EQ(ours, (std::vector<std::int64_t>{1, 2, 3}));
  auto stats = json::parse(sim.get("/_sim/streaming/stats").body);
  EXPECT_GE(stats.at("recovered").to_number<std::int64_t>(), 4) << "2 for each client";
  EXPECT_GE(stats.at("refreshes").to_number<std::int64_t>(), 2);
}

}  // namespace
