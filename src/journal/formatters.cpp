// The console's coloured layout and the files' detailed layout.
#include <fmt/format.h>

#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_sdk::utils {

ColoredFormatter::ColoredFormatter() : logging::Formatter("%(message)s", "%Y-%m-%d %H:%M:%S") {}

std::string ColoredFormatter::format(const logging::LogRecord& record) const {
  const char* level_color = Colors::RESET;
  for (const auto& [level, color] : LEVEL_COLORS)
    if (level == record.levelno) level_color = color;

  std::string out;
  out.reserve(96 + record.name.size() + record.message.size());
  out += Colors::TIMESTAMP;
  append_time(record, out);
  const std::int64_t msecs = ((record.created_ms % 1000) + 1000) % 1000;
  fmt::format_to(std::back_inserter(out), ".{:03}", msecs);
  out += Colors::RESET;
  out += " | ";
  out += level_color;
  fmt::format_to(std::back_inserter(out), "{:<8}", record.levelname);
  out += Colors::RESET;
  out += " | ";
  out += Colors::NAME;
  out += record.name;
  out += Colors::RESET;
  out += " | ";
  out += record.message;
  if (record.exc_info) {
    out += '\n';
    out += format_exception(record.exc_info);
  }
  return out;
}

DetailedFormatter::DetailedFormatter() : logging::Formatter(LAYOUT, DATE_LAYOUT) {}

}  // namespace tolbu_sdk::utils
