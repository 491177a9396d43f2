#pragma once
// The control interface of a running strategy: a small HTTP server on a thread of its own that
// answers status, progress, report, logs, orders, trades and stop requests and describes itself
// with an OpenAPI document. There is no authentication: bind it where only operators reach it.
//
//   class MyRuntime : public tolbu_sdk::Application { ... };
//   MyRuntime app;
//   boost::asio::io_context loop;
//   app._loop.attach(&loop);
//   tolbu_sdk::APIServer server(app, 8000);
//   server.start();
//   app._loop.run();      // the strategy; POST /stop co_spawns app.stop() here
//   server.shutdown();

#include <boost/json/fwd.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk {

// The application object of the strategy runtime, as the control API sees it. The runtime
// derives from it. The read operations are called on the control server's thread while the
// strategy runs on its event loop, so implementations must tolerate that; an exception they
// throw is answered with 500 {"error": ...} and logged, never lost.
class TOLBU_API Application {
 public:
  // The strategy's event loop as seen from another thread. The loop counts as running while
  // the attached context is not stopped and a thread runs it: inside run() or a Scope, which
  // is known at once, or inside a plain io_context::run(), which is seen by handing the loop
  // a call and waiting (within a patience) for it to be run.
  class EventLoop {
   public:
    // Marks the attached loop as running for as long as the object lives, for runtimes that
    // drive the io_context themselves (run_for, several threads, ...).
    class Scope {
     public:
      // Marks `loop` running until destroyed.
      explicit Scope(EventLoop& loop) noexcept;
      ~Scope();
      Scope(const Scope&) = delete;
      Scope& operator=(const Scope&) = delete;

     private:
      EventLoop& loop_;
    };

    // Attaches the strategy's io_context; null detaches. The context must outlive its use.
    void attach(boost::asio::io_context* context) noexcept;
    // The attached context; null when none.
    boost::asio::io_context* get() const noexcept;
    // Whether a context is attached.
    explicit operator bool() const noexcept { return get() != nullptr; }
    // How long is_running() and call_if_running() wait for a loop outside run() by default.
    static constexpr std::chrono::milliseconds DEFAULT_PATIENCE{200};
    // True when the loop runs; from another thread than the loop's, a loop outside run() and
    // Scope that runs nothing within `patience` (busy, or not run at all) counts as stopped.
    bool is_running(std::chrono::milliseconds patience = DEFAULT_PATIENCE) const;
    // Hands fn to the loop if the loop runs: true when fn has been scheduled or has already
    // started. False when the loop is not attached, stopped, or did not start fn within
    // `patience`; fn then never runs, not even later.
    bool call_if_running(std::function<void()> fn,
                         std::chrono::milliseconds patience = DEFAULT_PATIENCE) const;
    // Runs the attached context on this thread until it has no work left or is stopped.
    // Returns the number of handlers run; 0 when nothing is attached.
    std::size_t run();
    // Schedules fn on the loop's thread; safe from any thread. Throws RuntimeError when no
    // loop is attached.
    void call_soon_threadsafe(std::function<void()> fn) const;

   private:
    std::atomic<boost::asio::io_context*> context_{nullptr};
    std::atomic<int> runners_{0};
  };

  // A flag the runtime waits on when the stop command arrives without a running loop.
  class StopEvent {
   public:
    // Sets the flag and wakes every waiter.
    void set();
    // Clears the flag.
    void clear();
    // Whether the flag is set.
    bool is_set() const;
    // Waits until the flag is set.
    void wait() const;
    // True when the event was set within the timeout.
    bool wait_for(std::chrono::milliseconds timeout) const;

   private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool set_ = false;
  };

  // The runtime's status text; the control server writes it from its own thread.
  class StatusText {
   public:
    StatusText() = default;
    // Starts with `text`.
    explicit StatusText(std::string text) : text_(std::move(text)) {}
    // Replaces the text.
    StatusText& operator=(std::string text);
    // A copy of the text.
    std::string get() const;
    // Whether the text equals `text`.
    bool operator==(std::string_view text) const;

   private:
    mutable std::mutex mutex_;
    std::string text_;
  };

  Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  virtual ~Application() = default;

  // Any JSON value, typically a text such as "RUNNING".
  virtual boost::json::value get_status() = 0;
  // The progress percentage.
  virtual double get_progress() = 0;
  // A non-empty object, or an empty value (null, {}, ...) when there is no report yet.
  virtual boost::json::value get_algo_stat_report() = 0;
  // The newest `limit` log lines, oldest first, as JSON strings.
  virtual boost::json::array get_logs(std::int64_t limit) = 0;
  // The orders, filtered by account and symbol when given.
  virtual boost::json::array get_orders(const std::optional<std::string>& account_id,
                                        const std::optional<std::string>& symbol) = 0;
  // The trades, filtered by account when given.
  virtual boost::json::array get_trades(const std::optional<std::string>& account_id) = 0;
  // Stops the strategy; started as a new task on the loop's own thread.
  virtual platform::detail::awaitable<void> stop() = 0;

  // The strategy's event loop, for the control server's calls into it.
  EventLoop _loop;
  // Set by the stop command when no loop runs.
  StopEvent _stop_event;
  // The status text; the control server reads and writes it.
  StatusText _status;
};

// One HTTP answer of the control API.
struct TOLBU_API APIResponse {
  // HTTP status code.
  int status = 200;
  // The Content-Type header.
  std::string content_type;
  // The body.
  std::string body;
  // Same status, type and body.
  bool operator==(const APIResponse&) const = default;
};

// Handles API requests for the Tolbu SDK Control Server: one object per request, on the server
// thread, given the raw request target. It reaches the application object it was given.
class TOLBU_API APIHandler {
 public:
  // A handler of the request for `path` (the raw target, query included) on `app_instance`.
  APIHandler(Application& app_instance, std::string path);

  // Routes one request by method: GET and POST are served, anything else is answered 501. A
  // bad query value is answered 400 and a failure of the application 500, both with
  // {"error": ...}; nothing escapes.
  APIResponse handle(std::string_view method);

  // Serves a GET: the status, progress, report, logs, orders and trades routes, the OpenAPI
  // document and the docs page.
  void do_GET();
  // Serves a POST: the stop command.
  void do_POST();
  // The answer built by the last do_GET or do_POST.
  const APIResponse& response() const { return response_; }

  // The request target it was made with.
  const std::string& path() const { return path_; }

  // The OpenAPI document of the routes above.
  static boost::json::object _get_openapi_schema();
  // The "/docs" page: Swagger UI rendering "/openapi.json".
  static const std::string& docs_page();

 private:
  void _send_json(const boost::json::object& data, int status = 200);
  void _send_error(std::string_view message, int status = 400);
  void _send_html(std::string_view content, int status = 200);

  Application& app_;
  std::string path_;
  APIResponse response_;
};

// Background Thread running the HTTP Server. One request per connection; the answer carries
// no Content-Length and ends when the connection closes. Requests are read side by side, each
// within its own deadline, so an idle or slow client never delays another's request; the
// application is called for one request at a time. Shutting down and destroying the object
// together wait at most once for the shutdown timeout, so the process can always end.
class TOLBU_API APIServer {
 public:
  // How the control server listens and how long it waits.
  struct Options {
    // All interfaces by default; "127.0.0.1" keeps the unauthenticated API local.
    std::string host = "0.0.0.0";
    // A connection must deliver its whole request within this time (answered 408).
    std::chrono::milliseconds read_timeout{5000};
    // A connection must take its answer within this time.
    std::chrono::milliseconds write_timeout{5000};
    // Request line plus headers (answered 431 beyond it).
    std::size_t header_limit = 16 * 1024;
    // Bodies are read off the wire and ignored (answered 413 beyond it).
    std::size_t body_limit = 64 * 1024;
    // How long shutdown() waits for the request being served.
    std::chrono::milliseconds shutdown_timeout{10000};
    // Connections held at once; at the limit the longest-waiting one that has not sent its
    // request yet is closed to make room.
    std::size_t max_connections = 128;
    // When set, every request must carry "Authorization: Bearer <token>" (401 otherwise): for
    // an API opened beyond this host. The dashboard page then needs the header too.
    std::string bearer_token{};
  };

  // Port 0 picks a free port, reported by port() once listening. Throws ValueError for a port
  // outside 0..65535. Starts nothing.
  explicit APIServer(Application& app_instance, int port = 8000);
  // The same with its own Options.
  APIServer(Application& app_instance, int port, Options options);
  ~APIServer();
  APIServer(const APIServer&) = delete;
  APIServer& operator=(const APIServer&) = delete;

  // The application it serves.
  Application& app_instance() const { return app_; }
  // The constructor's port; the bound port once the server listens.
  int port() const;
  // True while the server listens and serves.
  bool is_running() const;
  // True once the server has been created, even after it stopped.
  bool has_server() const;

  // Runs run() on a new thread. Throws RuntimeError when called a second time.
  void start();
  // The thread body: binds, listens and serves until shutdown(). Never throws: failures are
  // logged and end it.
  void run();
  // Stops the server from another thread and waits (within the shutdown timeout) for the
  // request being served. When the application does not return in time it logs so and
  // leaves the thread to end on its own; later calls (and the destructor) do not wait again.
  // Does nothing when no server was started. From the server thread itself it only requests
  // the stop.
  void shutdown();
  // Waits for the thread started by start().
  void join();
  // Waits until the server listens (true) or has failed or stopped (false), within timeout.
  bool wait_until_listening(std::chrono::milliseconds timeout) const;

 private:
  struct State;
  Application& app_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tolbu_sdk
