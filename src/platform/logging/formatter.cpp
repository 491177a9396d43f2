// Record layouts in the %(field)s style, the date layout, and exception rendering.
#include <cxxabi.h>
#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <typeinfo>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

namespace tolbu_sdk::platform::logging {

namespace {

enum class Field { Literal, Name, Levelno, Levelname, Message, Asctime, Msecs, Created };

struct FieldName {
  std::string_view text;
  Field field;
  bool numeric;
};

constexpr std::array<FieldName, 7> kFields{{
    {"name", Field::Name, false},
    {"levelno", Field::Levelno, true},
    {"levelname", Field::Levelname, false},
    {"message", Field::Message, false},
    {"asctime", Field::Asctime, false},
    {"msecs", Field::Msecs, true},
    {"created", Field::Created, true},
}};

std::atomic<std::uint64_t> next_formatter_id{1};

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string out = status == 0 && name ? name.get() : mangled;
  // libstdc++ wraps exceptions thrown with std::throw_with_nested; show the user's type.
  constexpr std::string_view wrapper = "std::_Nested_exception<";
  if (out.starts_with(wrapper) && out.ends_with('>'))
    out = out.substr(wrapper.size(), out.size() - wrapper.size() - 1);
  return out;
}

// One exception of a chain: "type: what", then its nested cause, if any.
void render_current(std::string& out, int depth) {
  try {
    throw;
  } catch (const std::exception& e) {
    out += demangle(typeid(e).name());
    out += ": ";
    std::string_view what = e.what();
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r')) what.remove_suffix(1);
    out += what;
    if (depth < 16) {
      try {
        std::rethrow_if_nested(e);
      } catch (...) {
        out += "\nCaused by: ";
        render_current(out, depth + 1);
      }
    }
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    out += type != nullptr ? demangle(type->name()) : std::string("unknown exception");
  }
}

// Applies printf-style width, padding and precision to a text.
void append_padded(std::string& out, std::string_view text, bool left, bool zero, int width,
                   int precision) {
  if (precision >= 0 && static_cast<std::size_t>(precision) < text.size())
    text = text.substr(0, static_cast<std::size_t>(precision));
  const std::size_t pad =
      width > 0 && static_cast<std::size_t>(width) > text.size() ? width - text.size() : 0;
  if (pad == 0) {
    out += text;
  } else if (left) {
    out += text;
    out.append(pad, ' ');
  } else if (zero) {
    // Zeros go after a sign, as printf puts them.
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
      out += text[0];
      text.remove_prefix(1);
    }
    out.append(pad, '0');
    out += text;
  } else {
    out.append(pad, ' ');
    out += text;
  }
}

}  // namespace

struct Formatter::Piece {
  Field field = Field::Literal;
  std::string literal;
  bool left = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  char conversion = 's';
};

namespace {

[[noreturn]] void bad_layout(const std::string& fmt, std::string_view why) {
  throw ValueError(fmt::format("invalid log record layout '{}': {}", fmt, why));
}

}  // namespace

Formatter::Formatter(std::string fmt, std::string datefmt)
    : fmt_(std::move(fmt)), datefmt_(std::move(datefmt)), id_(next_formatter_id++) {
  std::string literal;
  const auto flush_literal = [&] {
    if (literal.empty()) return;
    Piece p;
    p.literal = std::move(literal);
    pieces_.push_back(std::move(p));
    literal.clear();
  };
  const std::string& f = fmt_;
  for (std::size_t i = 0; i < f.size();) {
    if (f[i] != '%') {
      literal += f[i++];
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == '%') {
      literal += '%';
      i += 2;
      continue;
    }
    if (i + 1 >= f.size() || f[i + 1] != '(')
      bad_layout(f, "a '%' must start a %(field) or be doubled");
    const std::size_t close = f.find(')', i + 2);
    if (close == std::string::npos) bad_layout(f, "unclosed '%('");
    const std::string_view key(f.data() + i + 2, close - i - 2);
    const FieldName* found = nullptr;
    for (const auto& candidate : kFields)
      if (candidate.text == key) found = &candidate;
    if (found == nullptr) bad_layout(f, fmt::format("unknown field '{}'", key));
    Piece p;
    p.field = found->field;
    std::size_t j = close + 1;
    for (; j < f.size() && (f[j] == '-' || f[j] == '0'); ++j)
      (f[j] == '-' ? p.left : p.zero) = true;
    for (; j < f.size() && f[j] >= '0' && f[j] <= '9'; ++j) {
      p.width = p.width * 10 + (f[j] - '0');
      if (p.width > 1000) bad_layout(f, "width too large");
    }
    if (j < f.size() && f[j] == '.') {
      p.precision = 0;
      for (++j; j < f.size() && f[j] >= '0' && f[j] <= '9'; ++j) {
        p.precision = p.precision * 10 + (f[j] - '0');
        if (p.precision > 1000) bad_layout(f, "precision too large");
      }
    }
    if (j >= f.size()) bad_layout(f, fmt::format("field '{}' has no conversion", key));
    p.conversion = f[j];
    if (p.conversion == 'i') p.conversion = 'd';
    if (p.conversion != 's' && p.conversion != 'd' && p.conversion != 'f')
      bad_layout(f, fmt::format("unsupported conversion '{}'", p.conversion));
    if (p.conversion != 's' && !found->numeric)
      bad_layout(f, fmt::format("field '{}' is text and needs 's'", key));
    flush_literal();
    pieces_.push_back(std::move(p));
    i = j + 1;
  }
  flush_literal();
}

Formatter::~Formatter() = default;

Formatter::Formatter(const Formatter& other)
    : fmt_(other.fmt_),
      datefmt_(other.datefmt_),
      pieces_(other.pieces_),
      id_(next_formatter_id++) {}

Formatter& Formatter::operator=(const Formatter& other) {
  if (this != &other) {
    fmt_ = other.fmt_;
    datefmt_ = other.datefmt_;
    pieces_ = other.pieces_;
    id_ = next_formatter_id++;
  }
  return *this;
}

void Formatter::append_time(const LogRecord& record, std::string& out) const {
  // localtime_r and strftime cost far more than a line; a record stream repeats the same
  // second, so each thread keeps the last few renderings.
  struct Slot {
    std::uint64_t id = 0;
    std::int64_t second = 0;
    std::string text;
  };
  thread_local std::array<Slot, 4> cache;
  thread_local unsigned next_victim = 0;

  const std::int64_t second = floor_div(record.created_ms, 1000);
  for (const Slot& slot : cache)
    if (slot.id == id_ && slot.second == second) {
      out += slot.text;
      return;
    }
  std::string text;
  if (!datefmt_.empty()) {
    const std::time_t t = static_cast<std::time_t>(second);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) {
      text = fmt::format("{}", second);
    } else {
      std::size_t size = 64 + datefmt_.size() * 4;
      for (int attempt = 0; attempt < 4; ++attempt, size *= 4) {
        text.resize(size);
        const std::size_t n = std::strftime(text.data(), text.size(), datefmt_.c_str(), &tm);
        if (n > 0) {
          text.resize(n);
          break;
        }
        text.clear();  // empty rendering or too small: try a larger buffer
      }
    }
  }
  out += text;
  Slot& slot = cache[next_victim++ % cache.size()];
  slot.id = id_;
  slot.second = second;
  slot.text = std::move(text);
}

std::string Formatter::format_time(const LogRecord& record) const {
  std::string out;
  append_time(record, out);
  return out;
}

void Formatter::format_layout(const LogRecord& record, std::string& out) const {
  const std::int64_t msecs = record.created_ms - floor_div(record.created_ms, 1000) * 1000;
  fmt::memory_buffer scratch;
  for (const Piece& p : pieces_) {
    std::string_view text;
    std::string owned;
    switch (p.field) {
      case Field::Literal:
        out += p.literal;
        continue;
      case Field::Name:
        text = record.name;
        break;
      case Field::Levelname:
        text = record.levelname;
        break;
      case Field::Message:
        text = record.message;
        break;
      case Field::Asctime:
        if (p.width == 0 && p.precision < 0) {
          append_time(record, out);
          continue;
        }
        append_time(record, owned);
        text = owned;
        break;
      case Field::Levelno:
      case Field::Msecs:
      case Field::Created: {
        scratch.clear();
        // created is in seconds: whole for 'd', with its fraction for 's' and 'f'.
        const double as_double = p.field == Field::Created
                                     ? static_cast<double>(record.created_ms) / 1000.0
                                 : p.field == Field::Msecs ? static_cast<double>(msecs)
                                                           : static_cast<double>(record.levelno);
        const std::int64_t as_int = p.field == Field::Created ? floor_div(record.created_ms, 1000)
                                    : p.field == Field::Msecs ? msecs
                                                              : record.levelno;
        if (p.conversion == 'd' || (p.conversion == 's' && p.field == Field::Levelno)) {
          const fmt::format_int digits(as_int);
          scratch.append(digits.data(), digits.data() + digits.size());
        } else if (p.conversion == 'f') {
          fmt::format_to(fmt::appender(scratch), "{:.{}f}", as_double,
                         p.precision < 0 ? 6 : p.precision);
        } else {
          owned = platform::number_text(as_double);
          text = owned;
          break;
        }
        text = std::string_view(scratch.data(), scratch.size());
        // Precision on 'd' and 'f' is not a truncation.
        append_padded(out, text, p.left, p.zero, p.width, -1);
        continue;
      }
    }
    append_padded(out, text, p.left, false, p.width, p.precision);
  }
}

std::string Formatter::format(const LogRecord& record) const {
  std::string out;
  out.reserve(64 + record.name.size() + record.message.size());
  format_layout(record, out);
  if (record.exc_info) {
    if (out.empty() || out.back() != '\n') out += '\n';
    out += format_exception(record.exc_info);
  }
  return out;
}

std::string Formatter::format_exception(const std::exception_ptr& exc) {
  if (!exc) return {};
  std::string out;
  try {
    std::rethrow_exception(exc);
  } catch (...) {
    render_current(out, 0);
  }
  return out;
}

std::string level_name(int level) {
  switch (level) {
    case DEBUG:
      return "DEBUG";
    case INFO:
      return "INFO";
    case WARNING:
      return "WARNING";
    case ERROR:
      return "ERROR";
    case CRITICAL:
      return "CRITICAL";
    default:
      return fmt::format("Level {}", level);
  }
}

std::optional<int> level_from_name(std::string_view name) {
  if (name == "DEBUG") return DEBUG;
  if (name == "INFO") return INFO;
  if (name == "WARNING") return WARNING;
  if (name == "ERROR") return ERROR;
  if (name == "CRITICAL") return CRITICAL;
  return std::nullopt;
}

}  // namespace tolbu_sdk::platform::logging
