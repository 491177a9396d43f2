// The indicator factory by name and parameters, then a short life of the indicator it built:
// bad names and parameters are a ValueError or TypeError, and so is bad input; nothing else
// escapes, nothing crashes, and an output index in range always reads.

#include "fuzz_check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/indicators.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tolbu_sdk;
namespace ind = tolbu_sdk::features::indicators;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return size_ == 0; }
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  double number() {
    // Mostly small whole numbers (periods), sometimes any double.
    const auto tag = byte();
    if (tag < 200) return static_cast<double>(static_cast<std::int8_t>(tag)) + (tag % 7 == 0) * 0.5;
    double d = 0;
    const std::size_t n = std::min(sizeof d, size_);
    std::memcpy(&d, data_, n);
    data_ += n;
    size_ -= n;
    return d;
  }
  std::string text() {
    const std::size_t n = std::min<std::size_t>(byte() % 24, size_);
    std::string s(reinterpret_cast<const char*>(data_), n);
    data_ += n;
    size_ -= n;
    return s;
  }
  ta::ParamValue param() {
    if (byte() % 4 == 0) return text();
    return number();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

const std::vector<std::string>& names() {
  static const std::vector<std::string> list = ind::export_list();
  return list;
}

ta::OHLCV bar(Input& in) {
  ta::OHLCV b;
  b.low = in.number();
  b.high = b.low + std::abs(in.number());
  b.open = (in.byte() % 2) ? b.low : b.high;
  b.close = in.number();
  b.volume = std::abs(in.number());
  if (in.byte() % 2) b.time = platform::LocalDateTime(std::chrono::seconds(in.byte() * 40));
  return b;
}

void live(ta::IndicatorBase& indicator, Input& in) {
  for (int steps = 0; steps < 64 && !in.empty(); ++steps) {
    try {
      switch (in.byte() % 8) {
        case 0:
        case 1:
          indicator.add_value(in.number());
          break;
        case 2:
        case 3:
          indicator.add_value(bar(in));
          break;
        case 4:
          if (in.byte() % 2) indicator.update_value(in.number());
          else indicator.update_value(bar(in));
          break;
        case 5:
          indicator.remove();
          break;
        case 6:
          indicator.purge_oldest(in.byte() % 4);
          break;
        default:
          if (in.byte() % 8 == 0) indicator.remove_all();
          break;
      }
    } catch (const TypeError&) {
    } catch (const ValueError&) {
    }
    const auto n = static_cast<std::ptrdiff_t>(indicator.size());
    if (n > 0) {
      (void)indicator.output_value(-1);
      (void)indicator.output_value(0);
      (void)indicator.output_value(-n);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const auto pick = in.byte();
  const std::string name = pick < names().size() ? names()[pick] : in.text();
  std::vector<ta::ParamValue> positional;
  for (auto n = in.byte() % 5; n > 0; --n) positional.push_back(in.param());
  std::vector<ta::NamedParam> named;
  for (auto n = in.byte() % 3; n > 0; --n) named.push_back({in.text(), in.param()});
  ta::IndicatorOptions options;
  const auto flags = in.byte();
  if (flags & 1) options.max_history = flags >> 4;
  if (flags & 2) options.input_sampling = static_cast<ta::SamplingPeriodType>((flags >> 2) % 12);

  std::unique_ptr<ta::IndicatorBase> indicator;
  try {
    indicator = ind::create(name, std::move(positional), std::move(named), options);
  } catch (const TypeError&) {
    return 0;
  } catch (const ValueError&) {
    return 0;
  }
  FUZZ_CHECK(indicator != nullptr);
  live(*indicator, in);
  return 0;
}
