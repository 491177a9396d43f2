#include "market/market.hpp"

#include "market/csv_history.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace tolbu_sim {

namespace {

constexpr int kOctaves = 25;  // periods of 1 s up to 2^24 s (about 194 days)
constexpr int kSamples = 6;   // interior points per candle for its high and low

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

double unit(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Roughly standard normal from one hash: four 16-bit uniforms, centred and scaled.
double normal(std::uint64_t h) {
  std::uint64_t x = mix(h);
  double sum =
      static_cast<double>((x & 0xffff) + ((x >> 16) & 0xffff) + ((x >> 32) & 0xffff) + (x >> 48));
  return (sum / 65535.0 - 2.0) * 1.7320508075688772;
}

constexpr std::array<double, 25> kInversePeriods = [] {
  std::array<double, 25> a{};
  double v = 1.0;
  for (auto& x : a) {
    x = v;
    v *= 0.5;
  }
  return a;
}();

// Amplitude of each octave: sqrt(period) for a random walk, with short periods boosted
// because intraday prices wander more than a daily walk implies.
const std::array<double, 25>& amplitudes() {
  static const std::array<double, 25> table = [] {
    std::array<double, 25> a{};
    for (std::size_t k = 0; k < a.size(); ++k) {
      double period = std::ldexp(1.0, static_cast<int>(k));
      double boost = period < 3600.0 ? std::pow(3600.0 / period, 0.3) : 1.0;
      a[k] = boost * std::sqrt(period);
    }
    return a;
  }();
  return table;
}

std::uint64_t text_hash(std::string_view text) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return h;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

std::vector<Instrument> listed_instruments() {
  std::vector<Instrument> out;
  out.push_back({"VN30F2412", "VN30 index futures December 2024", "HNX", "FUTURES", 0.1, 1, "VND",
                 1300.0, 0.012, 0.17, 2000, true});
  out.push_back(
      {"HPG", "Hoa Phat Group", "HOSE", "STOCK", 50, 100, "VND", 26000, 0.02, 0.5, 30000, true});
  out.push_back(
      {"VIC", "Vingroup", "HOSE", "STOCK", 50, 100, "VND", 42000, 0.018, 0.5, 12000, true});
  out.push_back(
      {"FPT", "FPT Corporation", "HOSE", "STOCK", 100, 100, "VND", 130000, 0.015, 0.5, 8000, true});
  return out;
}

}  // namespace

struct Market::Path {
  Instrument instrument;
  std::uint64_t key = 0;
  double noise_scale = 0;  // per-octave amplitude factor
  // From each time on, the raw path is multiplied by its factor (sorted by time).
  std::vector<std::pair<std::int64_t, double>> factors;
  std::shared_ptr<const CandleSeries> series;  // loaded history: it replaces the path
};

Market::Market(std::uint64_t seed) : seed_(seed) {
  for (auto& instrument : listed_instruments()) {
    auto symbol = instrument.symbol;
    auto p = std::make_unique<Path>();
    p->instrument = std::move(instrument);
    paths_.emplace(symbol, std::move(p));
  }
  for (auto& [symbol, p] : paths_) {
    p->key = mix(seed_ ^ text_hash(symbol));
    // The increment over one day then has about the instrument's volatility.
    p->noise_scale = p->instrument.volatility / std::sqrt(6.0 * 86400.0);
  }
}

Market::~Market() = default;

Market::Path& Market::path(std::string_view symbol) {
  auto it = paths_.find(symbol);
  if (it != paths_.end()) return *it->second;
  auto p = std::make_unique<Path>();
  std::uint64_t h = mix(seed_ ^ text_hash(symbol));
  Instrument& in = p->instrument;
  in.symbol = std::string(symbol);
  in.name = in.symbol;
  in.exchange = "SIM";
  in.product_type = "STOCK";
  in.tick_size = 10;
  in.lot_size = 1;
  // A level between 5,000 and 100,000 on the tick grid.
  in.base_price = std::round((5000 + unit(mix(h + 7)) * 95000) / 10) * 10;
  in.volatility = 0.02;
  in.base_volume = 1000;
  p->key = h;
  p->noise_scale = in.volatility / std::sqrt(6.0 * 86400.0);
  return *paths_.emplace(std::string(symbol), std::move(p)).first->second;
}

const Instrument& Market::instrument(std::string_view symbol) { return path(symbol).instrument; }

const Instrument* Market::find(std::string_view symbol) const {
  auto it = paths_.find(symbol);
  return it == paths_.end() ? nullptr : &it->second->instrument;
}

std::vector<const Instrument*> Market::listed() const {
  std::vector<const Instrument*> out;
  for (const auto& [symbol, p] : paths_) {
    if (p->instrument.listed) out.push_back(&p->instrument);
  }
  return out;
}

double Market::round_to_tick(const Instrument& instrument, double price) const {
  double ticks = std::max(1.0, std::round(price / instrument.tick_size));
  // Rounded again so that 0.1-tick prices read as 1300.1, not 1300.1000000000001.
  double value = ticks * instrument.tick_size;
  return std::round(value * 1e6) / 1e6;
}

double Market::raw_price(Path& p, std::int64_t ms) const {
  const auto& amplitude = amplitudes();
  double seconds = static_cast<double>(ms) / 1000.0;
  double noise = 0;
  for (int k = 0; k < kOctaves; ++k) {
    double position = seconds * kInversePeriods[static_cast<std::size_t>(k)];
    double cell = std::floor(position);
    double frac = position - cell;
    auto n = static_cast<std::uint64_t>(static_cast<std::int64_t>(cell));
    std::uint64_t base = p.key ^ (static_cast<std::uint64_t>(k) * 0x632be59bd9b4e019ULL);
    double v0 = normal(base + n * 0x9e3779b97f4a7c15ULL);
    double v1 = normal(base + (n + 1) * 0x9e3779b97f4a7c15ULL);
    noise += amplitude[static_cast<std::size_t>(k)] * (v0 + (v1 - v0) * frac);
  }
  double price = p.instrument.base_price * std::exp(noise * p.noise_scale);
  auto it = std::upper_bound(p.factors.begin(), p.factors.end(), ms,
                             [](std::int64_t t, const auto& f) { return t < f.first; });
  if (it != p.factors.begin()) price *= std::prev(it)->second;
  return price;
}

double Market::price(std::string_view symbol, std::int64_t ms) {
  Path& p = path(symbol);
  if (p.series) return p.series->price(ms);
  return round_to_tick(p.instrument, raw_price(p, ms));
}

SimCandle Market::candle(std::string_view symbol, int resolution_s, std::int64_t start_ms,
                         std::int64_t now_ms) {
  Path& p = path(symbol);
  if (p.series) return p.series->candle(resolution_s, start_ms, now_ms);
  const std::int64_t length = static_cast<std::int64_t>(resolution_s) * 1000;
  const std::int64_t end = std::min(start_ms + length - 1, std::max(now_ms, start_ms));
  SimCandle c;
  c.time = start_ms;
  c.open = round_to_tick(p.instrument, raw_price(p, start_ms));
  c.close = round_to_tick(p.instrument, raw_price(p, end));
  c.high = std::max(c.open, c.close);
  c.low = std::min(c.open, c.close);
  std::uint64_t h = mix(p.key ^ static_cast<std::uint64_t>(start_ms) ^
                        (static_cast<std::uint64_t>(resolution_s) << 40));
  for (int i = 0; i < kSamples; ++i) {
    double where = (i + unit(mix(h + i))) / kSamples;
    auto t = start_ms + static_cast<std::int64_t>(where * static_cast<double>(length - 1));
    if (t > end) break;
    double v = round_to_tick(p.instrument, raw_price(p, t));
    c.high = std::max(c.high, v);
    c.low = std::min(c.low, v);
  }
  double elapsed = static_cast<double>(end - start_ms + 1) / static_cast<double>(length);
  double per_minute = p.instrument.base_volume * (0.5 + unit(mix(h + 99)));
  double lots = std::round(per_minute * resolution_s / 60.0 * elapsed / p.instrument.lot_size);
  c.volume = lots * p.instrument.lot_size;
  return c;
}

std::optional<std::vector<SimCandle>> Market::history(std::string_view symbol, int resolution_s,
                                                      std::int64_t from_ms, std::int64_t to_ms,
                                                      std::int64_t count_back, std::int64_t now_ms,
                                                      std::size_t max_candles,
                                                      std::string& message) {
  if (symbol.empty()) {
    message = "Symbol must not be empty";
    return std::nullopt;
  }
  if (resolution_s <= 0 || resolution_s > 31 * 86400) {
    message = "Resolution must be from 1 to 2678400 seconds";
    return std::nullopt;
  }
  if (from_ms < 0 || to_ms < 0 || count_back < 0) {
    message = "Times and count-back must not be negative";
    return std::nullopt;
  }
  if (const auto* s = series(symbol))
    return s->history(resolution_s, from_ms, to_ms, count_back, now_ms, max_candles, message);
  const std::int64_t length = static_cast<std::int64_t>(resolution_s) * 1000;
  const std::int64_t last_start = floor_div(std::min(to_ms, now_ms), length) * length;
  std::int64_t first_start;
  if (count_back > 0) {
    if (static_cast<std::uint64_t>(count_back) > max_candles) {
      message = "Count-back " + std::to_string(count_back) + " exceeds the limit of " +
                std::to_string(max_candles) + " candles";
      return std::nullopt;
    }
    first_start = std::max<std::int64_t>(0, last_start - (count_back - 1) * length);
  } else {
    first_start = floor_div(from_ms + length - 1, length) * length;
  }
  std::vector<SimCandle> out;
  if (first_start > last_start) return out;
  auto count = static_cast<std::uint64_t>((last_start - first_start) / length + 1);
  if (count > max_candles) {
    message = "The range holds " + std::to_string(count) + " candles, more than the limit of " +
              std::to_string(max_candles);
    return std::nullopt;
  }
  out.reserve(count);
  for (std::int64_t t = first_start; t <= last_start; t += length) {
    out.push_back(candle(symbol, resolution_s, t, now_ms));
  }
  return out;
}

void Market::set_price(std::string_view symbol, double price, std::int64_t at_ms) {
  Path& p = path(symbol);
  double current = raw_price(p, at_ms);
  auto it = std::upper_bound(p.factors.begin(), p.factors.end(), at_ms,
                             [](std::int64_t t, const auto& f) { return t < f.first; });
  double factor_before = it == p.factors.begin() ? 1.0 : std::prev(it)->second;
  double unscaled = current / factor_before;
  // Later overrides are superseded by this one.
  p.factors.erase(it, p.factors.end());
  if (!p.factors.empty() && p.factors.back().first == at_ms) p.factors.pop_back();
  p.factors.emplace_back(at_ms, price / unscaled);
}

void Market::load_series(std::string_view symbol, std::shared_ptr<const CandleSeries> series) {
  const bool ours = find(symbol) != nullptr && find(symbol)->listed;
  Path& p = path(symbol);
  if (!ours) {
    p.instrument.exchange = "CSV";
    p.instrument.tick_size = std::pow(10.0, -std::min(series->decimals(), 8));
    p.instrument.lot_size = 1;
    p.instrument.base_price = series->bars().front().open;
  }
  p.instrument.listed = true;
  p.series = std::move(series);
}

const CandleSeries* Market::series(std::string_view symbol) const {
  auto it = paths_.find(symbol);
  return it == paths_.end() ? nullptr : it->second->series.get();
}

void Market::clear_overrides() {
  for (auto& [symbol, p] : paths_) p->factors.clear();
}

}  // namespace tolbu_sim
