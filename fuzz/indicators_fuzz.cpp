// The indicator factory by name and parameters, then a short life of the indicator it built:
// bad names and parameters are a ValueError or TypeError, and so is bad input; nothing else
// escapes, nothing crashes, and an output index in range always reads. A bounded history
// changes what is held, never what is computed: an unbounded twin given the same calls has
// the same newest output, except where the bounded one refused a call (a removal past what
// it still holds), which the twin then does not get.

#include "fuzz_check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/indicators.hpp"

#include <algorithm>
#include <cmath>
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

bool same_number(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b || std::abs(a - b) <= 1e-9 * std::max(std::abs(a), std::abs(b));
}

bool same_field(const ta::FieldValue& a, const ta::FieldValue& b) {
  const auto* x = std::get_if<double>(&a);
  const auto* y = std::get_if<double>(&b);
  if (x && y) return same_number(*x, *y);
  return a == b;
}

bool same_value(const ta::Value& a, const ta::Value& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<double>(&a)) return same_number(*x, std::get<double>(b));
  if (const auto* r = std::get_if<ta::Record>(&a)) {
    const auto& q = std::get<ta::Record>(b);
    if (r->size() != q.size()) return false;
    for (std::size_t i = 0; i < r->size(); ++i) {
      if ((*r)[i].name != q[i].name || !same_field((*r)[i].value, q[i].value)) return false;
    }
    return true;
  }
  return a == b;
}

// Runs `op` on the indicator and, when it was taken, on the twin, which must take it too.
template <class Op>
void both(ta::IndicatorBase& indicator, ta::IndicatorBase* twin, Op op) {
  op(indicator);
  if (twin == nullptr) return;
  bool taken = true;
  try {
    op(*twin);
  } catch (const TypeError&) {
    taken = false;
  } catch (const ValueError&) {
    taken = false;
  }
  FUZZ_CHECK(taken);
}

void live(ta::IndicatorBase& indicator, ta::IndicatorBase* twin, Input& in) {
  for (int steps = 0; steps < 64 && !in.empty(); ++steps) {
    try {
      switch (in.byte() % 8) {
        case 0:
        case 1: {
          const ta::Value v = in.number();
          both(indicator, twin, [&](ta::IndicatorBase& i) { i.add_value(v); });
          break;
        }
        case 2:
        case 3: {
          const ta::Value v = bar(in);
          both(indicator, twin, [&](ta::IndicatorBase& i) { i.add_value(v); });
          break;
        }
        case 4: {
          const ta::Value v = in.byte() % 2 ? ta::Value(in.number()) : ta::Value(bar(in));
          both(indicator, twin, [&](ta::IndicatorBase& i) { i.update_value(v); });
          break;
        }
        case 5:
          both(indicator, twin, [](ta::IndicatorBase& i) { i.remove(); });
          break;
        case 6: {
          const std::size_t n = in.byte() % 4;
          both(indicator, twin, [n](ta::IndicatorBase& i) { i.purge_oldest(n); });
          break;
        }
        default:
          if (in.byte() % 8 == 0)
            both(indicator, twin, [](ta::IndicatorBase& i) { i.remove_all(); });
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
      if (twin != nullptr && twin->size() > 0) {
        FUZZ_CHECK(same_value(indicator.output_value(-1), twin->output_value(-1)));
      }
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
  std::unique_ptr<ta::IndicatorBase> twin;
  try {
    indicator = ind::create(name, positional, named, options);
    if (options.max_history != 0) {
      ta::IndicatorOptions unbounded = options;
      unbounded.max_history = 0;
      twin = ind::create(name, std::move(positional), std::move(named), unbounded);
    }
  } catch (const TypeError&) {
    return 0;
  } catch (const ValueError&) {
    return 0;
  }
  FUZZ_CHECK(indicator != nullptr);
  live(*indicator, twin.get(), in);
  return 0;
}
