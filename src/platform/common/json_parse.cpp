#include "tolbu_sdk/platform/json.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <charconv>

namespace tolbu_sdk::platform {

namespace {

namespace json = boost::json;
using boost::system::error_code;

// Builds the value like Boost's own parser, except that a number with a fraction or an
// exponent is converted from its text by from_chars (correctly rounded, locale-free).
struct ExactHandler {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack stack;
  std::string number;  // the parts of a number split across input buffers

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t n, error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t n, error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, error_code&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, error_code&) {
    number.clear();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, error_code&) {
    number.clear();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, error_code&) {
    const char* begin = s.data();
    const char* end = s.data() + s.size();
    if (!number.empty()) {
      number.append(s.data(), s.size());
      begin = number.data();
      end = number.data() + number.size();
    }
    double exact = 0;
    auto [ptr, ec] = std::from_chars(begin, end, exact, std::chars_format::general);
    // Out of range (1e400) keeps the parser's own infinity or zero.
    if (ec == std::errc() && ptr == end) d = exact;
    number.clear();
    stack.push_double(d);
    return true;
  }
  bool on_bool(bool b, error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, error_code&) { return true; }
  bool on_comment(json::string_view, error_code&) { return true; }
};

}  // namespace

json::value parse_json(std::string_view text, error_code& ec) { return parse_json(text, ec, {}); }

json::value parse_json(std::string_view text, error_code& ec, json::storage_ptr storage) {
  // One parser per thread: its stacks are kept between texts, so a stream of small messages
  // allocates nothing but their values. Nothing called from here can parse again.
  thread_local json::basic_parser<ExactHandler> parser{json::parse_options{}};
  parser.reset();
  auto& handler = parser.handler();
  handler.number.clear();
  handler.stack.reset(std::move(storage));
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size()) ec = json::error::extra_data;
  if (ec) {
    handler.stack.reset();  // lets go of the caller's storage
    return nullptr;
  }
  return handler.stack.release();
}

}  // namespace tolbu_sdk::platform
