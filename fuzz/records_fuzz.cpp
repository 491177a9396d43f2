// The records' and Account's from_dict on any JSON text: only TypeError or ValueError for bad
// input, and a record read back from its own to_json is the same record.

#include "fuzz_check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/types/account.hpp"
#include "tolbu_sdk/types/records.hpp"

#include <boost/json/value.hpp>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace {

namespace json = boost::json;
using namespace tolbu_sdk;
using namespace tolbu_sdk::types;

// Reads v as R; when that works, R's JSON reads back to the same JSON. NaN fields compare by
// text ("NaN"), which == on the records would not.
template <class R>
void round_trip(const json::value& v) {
  try {
    const R record = R::from_dict(v);
    const json::value written = record.to_json();
    const R again = R::from_dict(written);
    FUZZ_CHECK(platform::to_json_text(again.to_json()) == platform::to_json_text(written));
  } catch (const TypeError&) {
  } catch (const ValueError&) {
  }
}

void account(const json::value& v) {
  try {
    (void)Account::from_dict(v);
  } catch (const TypeError&) {
  } catch (const ValueError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  boost::system::error_code ec;
  const json::value v =
      platform::parse_json(std::string_view(reinterpret_cast<const char*>(data), size), ec);
  if (ec) return 0;
  round_trip<Candle>(v);
  round_trip<DepthLevel>(v);
  round_trip<Depth>(v);
  round_trip<ProductInfo>(v);
  round_trip<ProductStat>(v);
  round_trip<ProductMaster>(v);
  round_trip<OrderData>(v);
  round_trip<Trade>(v);
  round_trip<OrderResponse>(v);
  account(v);
  return 0;
}
