#include <curl/curl.h>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/json.hpp"

#include <boost/json/parse.hpp>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <mutex>

namespace tolbu_sdk::platform::http {

namespace {

using Clock = std::chrono::steady_clock;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw RuntimeError("libcurl could not be initialised");
  });
}

const char* standard_reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 422:
      return "Unprocessable Entity";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// One pooled connection: an easy handle in a multi handle of its own, whose connection
// cache keeps the connection open between calls.
struct Channel {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  Channel() : multi(curl_multi_init()), easy(curl_easy_init()) {
    if (!multi || !easy) {
      cleanup();
      throw RuntimeError("libcurl could not create a handle");
    }
  }
  ~Channel() { cleanup(); }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  void cleanup() {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    easy = nullptr;
    multi = nullptr;
  }
};

// What the callbacks of one exchange share.
struct Exchange {
  Response* response;
  std::size_t max_bytes;
  bool too_large = false;
  bool connected = false;
  Clock::time_point last_activity = Clock::now();
  curl_off_t uploaded = 0;
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  std::string_view line(data, size * count);
  x->last_activity = Clock::now();
  if (line.starts_with("HTTP/")) {
    // A new status line: an interim (1xx) or redirect answer came before; keep only the last.
    x->response->headers.clear();
    x->response->reason.clear();
    auto first_space = line.find(' ');
    if (first_space != std::string_view::npos) {
      auto second_space = line.find(' ', first_space + 1);
      if (second_space != std::string_view::npos)
        x->response->reason = std::string(trim(line.substr(second_space + 1)));
    }
    return size * count;
  }
  auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    x->response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                      std::string(trim(line.substr(colon + 1))));
  }
  return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  x->last_activity = Clock::now();
  if (x->response->text.size() + size * count > x->max_bytes) {
    x->too_large = true;
    return 0;  // aborts the transfer
  }
  x->response->text.append(data, size * count);
  return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* x = static_cast<Exchange*>(user);
  if (ulnow != x->uploaded) {
    x->uploaded = ulnow;
    x->last_activity = Clock::now();
  }
  return 0;
}

int on_connected(void* user, char*, char*, int, int) {
  auto* x = static_cast<Exchange*>(user);
  x->connected = true;
  x->last_activity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// A line break in a header (a token pasted with its newline, say) would smuggle further
// headers or a second request onto the wire.
void check_headers(const Headers& headers) {
  for (const auto& [name, value] : headers) {
    if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos)
      throw ValueError("Invalid HTTP header '" + name +
                       "': names must be non-empty without ':', and neither may hold a line break");
  }
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) throw RuntimeError("out of memory building request headers");
    list = next;
  }
};

}  // namespace

boost::json::value Response::json() const { return json(boost::json::storage_ptr()); }

boost::json::value Response::json(boost::json::storage_ptr storage) const {
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(text, ec, std::move(storage));
  if (ec) {
    std::string shown(text_prefix(text, 100));
    throw ValueError("Response body is not valid JSON (" + ec.message() + "): '" + shown +
                     (shown.size() < text.size() ? "...'" : "'"));
  }
  return value;
}

std::string Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return value;
  }
  return {};
}

struct Client::Impl {
  Options options;
  std::mutex mutex;
  std::vector<std::unique_ptr<Channel>> idle;
  std::atomic<std::size_t> connections{0};

  std::unique_ptr<Channel> acquire() {
    {
      std::lock_guard lock(mutex);
      if (!idle.empty()) {
        auto channel = std::move(idle.back());
        idle.pop_back();
        return channel;
      }
    }
    return std::make_unique<Channel>();
  }

  void release(std::unique_ptr<Channel> channel) {
    std::lock_guard lock(mutex);
    if (idle.size() < options.max_idle_connections) idle.push_back(std::move(channel));
  }

  Response perform(Channel& channel, std::string_view method, const std::string& url,
                   const Headers& headers, const std::string* body);
};

Response Client::Impl::perform(Channel& channel, std::string_view method, const std::string& url,
                               const Headers& headers, const std::string* body) {
  CURL* easy = channel.easy;
  curl_easy_reset(easy);  // keeps the connection cache of the multi handle

  Response response;
  response.url = url;
  Exchange x{&response, options.max_response_bytes};
  char error_buffer[CURL_ERROR_SIZE] = {0};

  HeaderList list;
  bool has_content_type = false;
  for (const auto& [name, value] : headers) {
    if (iequals(name, "Content-Type")) has_content_type = true;
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    list.add(value.empty() ? name + ";" : name + ": " + value);
  }
  if (body && !has_content_type) list.add("Content-Type: application/json");
  // libcurl's own additions are not wanted: no "Expect: 100-continue" round trip, no
  // "Accept: */*", and no form content type on a POST without a body.
  list.add("Expect:");
  list.add("Accept:");
  if (!body && !has_content_type) list.add("Content-Type:");

  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list.list);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::max<std::int64_t>(1, options.connect_timeout.count())));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &x);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &x);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &x);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, on_connected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &x);
  curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, options.verify_tls ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, options.verify_tls ? 2L : 0L);
  if (!options.reuse_connections) {
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  }

  std::string custom_method(method);  // must outlive the transfer
  if (method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(body ? body->size() : 0));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body ? body->data() : "");
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, custom_method.c_str());
  }

  // The transfer runs in our own loop so that a stalled peer is noticed within the stall
  // timeout (libcurl's low-speed check only counts whole seconds).
  if (curl_multi_add_handle(channel.multi, easy) != CURLM_OK)
    throw RuntimeError("libcurl could not start a transfer");
  struct Detach {
    Channel& channel;
    ~Detach() { curl_multi_remove_handle(channel.multi, channel.easy); }
  } detach{channel};

  CURLcode result = CURLE_OK;
  bool stalled = false;
  for (;;) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(channel.multi, &running);
    if (mc != CURLM_OK) throw TransportError(std::string("libcurl: ") + curl_multi_strerror(mc));
    if (running == 0) {
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(channel.multi, &left)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) result = msg->data.result;
      }
      break;
    }
    auto now = Clock::now();
    int wait_ms = 1000;
    if (x.connected) {
      auto idle = now - x.last_activity;
      if (idle >= options.stall_timeout) {
        stalled = true;
        break;
      }
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(options.stall_timeout - idle);
      wait_ms = static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 1, 1000));
    }
    mc = curl_multi_poll(channel.multi, nullptr, 0, wait_ms, nullptr);
    if (mc != CURLM_OK) throw TransportError(std::string("libcurl: ") + curl_multi_strerror(mc));
  }

  long new_connections = 0;
  if (curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &new_connections) == CURLE_OK)
    connections += static_cast<std::size_t>(new_connections);

  if (stalled) {
    throw TransportError(std::string(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)) +
                         ": no data received for " + std::to_string(options.stall_timeout.count()) +
                         " ms (" + std::string(method) + " " + url + ")");
  }
  if (x.too_large) {
    throw TransportError("Response larger than " + std::to_string(options.max_response_bytes) +
                         " bytes (" + std::string(method) + " " + url + ")");
  }
  if (result != CURLE_OK) {
    std::string message = curl_easy_strerror(result);
    if (error_buffer[0] != '\0') message += std::string(": ") + error_buffer;
    throw TransportError(message + " (" + std::string(method) + " " + url + ")");
  }

  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  response.status_code = static_cast<int>(status);
  if (response.reason.empty()) response.reason = standard_reason(response.status_code);
  char* effective = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
    response.url = effective;
  return response;
}

Client::Client(Options options) : impl_(std::make_unique<Impl>()) {
  global_init();
  impl_->options = options;
}

Client::~Client() = default;

const Options& Client::options() const noexcept { return impl_->options; }

std::size_t Client::connections_opened() const noexcept { return impl_->connections.load(); }

Response Client::get(std::string_view url, const Headers& headers) {
  return request("GET", url, headers);
}

Response Client::request(std::string_view method, std::string_view url, const Headers& headers,
                         const boost::json::value* json_body, const Params* params) {
  if (method.empty() || !std::all_of(method.begin(), method.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
      }))
    throw ValueError("Invalid HTTP method '" + std::string(method) + "'");
  check_headers(headers);
  std::string full_url(url);
  if (params && !params->empty()) {
    full_url += full_url.find('?') == std::string::npos ? '?' : '&';
    full_url += encode_query(*params);
  }
  std::string body;
  if (json_body) body = to_json_text(*json_body);

  auto channel = impl_->acquire();
  // A channel whose exchange failed is dropped: its connection may be half-used.
  Response response =
      impl_->perform(*channel, method, full_url, headers, json_body ? &body : nullptr);
  impl_->release(std::move(channel));
  return response;
}

}  // namespace tolbu_sdk::platform::http
