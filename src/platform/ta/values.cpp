#include "tolbu_sdk/ta/values.hpp"

namespace tolbu_sdk::ta {

const FieldValue* find_field(const Value& v, std::string_view name) {
  if (const Record* r = std::get_if<Record>(&v)) {
    for (const Field& f : *r) {
      if (f.name == name) return &f.value;
    }
  }
  return nullptr;
}

std::string_view kind_name(const Value& v) {
  switch (v.index()) {
    case 0:
      return "absent";
    case 1:
      return "number";
    case 2:
      return "OHLCV";
    default:
      return "record";
  }
}

}  // namespace tolbu_sdk::ta
