// The console's coloured layout and the files' detailed layout.
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
  const auto msecs = static_cast<int>(((record.created_ms % 1000) + 1000) % 1000);
  out += '.';
  out += static_cast<char>('0' + msecs / 100);
  out += static_cast<char>('0' + msecs / 10 % 10);
  out += static_cast<char>('0' + msecs % 10);
  out += Colors::RESET;
  out += " | ";
  out += level_color;
  out += record.levelname;
  if (record.levelname.size() < 8) out.append(8 - record.levelname.size(), ' ');
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
