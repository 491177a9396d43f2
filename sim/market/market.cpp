#include "market/market.hpp"

#include "market/csv_history.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace tolbu_sim {

namespace {

constexpr int kSamples = 6;  // interior points per candle for its sub-minute high and low
constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kLocalOffset = 7 * 3'600'000;  // Asia/Ho_Chi_Minh, UTC+7, no DST

// Continuous sessions of the Vietnamese derivatives market, ms after local midnight.
struct Window {
  std::int64_t from, to;
};
constexpr Window kVnSessions[] = {{9 * 3'600'000, 11 * 3'600'000 + 30 * kMinute},
                                  {13 * 3'600'000, 14 * 3'600'000 + 45 * kMinute}};

// GARCH(1,1) on one-minute log returns, and the AR(1) of daily log levels.
constexpr double kArchAlpha = 0.08;
constexpr double kGarchBeta = 0.90;
constexpr double kLevelPhi = 0.995;
constexpr int kLevelTerms = 2000;          // 0.995^2000 is about 4e-5: older shocks are forgotten
constexpr std::size_t kCachedDays = 1024;  // about 24 MB of one-minute paths at most

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

std::uint64_t text_hash(std::string_view text) {
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return h;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

std::uint64_t at(std::uint64_t key, std::uint64_t salt, std::int64_t n) {
  return mix(key ^ salt) + static_cast<std::uint64_t>(n) * 0x9e3779b97f4a7c15ULL;
}

// Local day number (days since 1970-01-01 in UTC+7) and whether it is Monday to Friday.
std::int64_t local_day(std::int64_t ms) { return floor_div(ms + kLocalOffset, kDayMs); }
bool weekday(std::int64_t day) {
  const std::int64_t dow = ((day % 7) + 7 + 3) % 7;  // 1970-01-01 was a Thursday; 0: Monday
  return dow < 5;
}

// Trading ms of a local day before `into` ms after its midnight.
std::int64_t traded_before(Sessions sessions, std::int64_t day, std::int64_t into) {
  if (sessions == Sessions::kAllDay) return into;
  if (!weekday(day)) return 0;
  std::int64_t total = 0;
  for (const auto& w : kVnSessions) total += std::clamp(into, w.from, w.to) - w.from;
  return total;
}

std::int64_t day_minutes(Sessions sessions, std::int64_t day) {
  return traded_before(sessions, day, kDayMs) / kMinute;
}

// Trading ms in [a, b).
std::int64_t traded_between(Sessions sessions, std::int64_t a, std::int64_t b) {
  if (b <= a) return 0;
  if (sessions == Sessions::kAllDay) return b - a;
  std::int64_t total = 0;
  for (std::int64_t d = local_day(a); d <= local_day(b - 1); ++d) {
    const std::int64_t midnight = d * kDayMs - kLocalOffset;
    const std::int64_t from = std::clamp<std::int64_t>(a - midnight, 0, kDayMs);
    const std::int64_t to = std::clamp<std::int64_t>(b - midnight, 0, kDayMs);
    total += traded_before(sessions, d, to) - traded_before(sessions, d, from);
  }
  return total;
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

struct Market::Day {
  // Log price at each minute boundary of the day's trading time, relative to the day's
  // level (minutes + 1 points), and each minute's deviation.
  std::vector<double> offsets;
  std::vector<double> deviations;
};

struct Market::Path {
  Instrument instrument;
  std::uint64_t key = 0;
  // From each time on, the raw path is multiplied by its factor (sorted by time).
  std::vector<std::pair<std::int64_t, double>> factors;
  // Computed days and daily log levels (sums of the level shocks), by local day.
  std::map<std::int64_t, Day> days;
  std::map<std::int64_t, double> levels;
  std::shared_ptr<const CandleSeries> series;  // loaded history: it replaces the path
};

Market::Market(std::uint64_t seed, Sessions sessions) : seed_(seed), sessions_(sessions) {
  for (auto& instrument : listed_instruments()) {
    auto symbol = instrument.symbol;
    auto p = std::make_unique<Path>();
    p->instrument = std::move(instrument);
    paths_.emplace(symbol, std::move(p));
  }
  for (auto& [symbol, p] : paths_) p->key = mix(seed_ ^ text_hash(symbol));
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

double Market::day_level(Path& p, std::int64_t d) {
  // Sum of the shocks of the last kLevelTerms days, each worth phi^age: the log level's
  // AR(1) around the base price. Always summed whole (never from the day before), so that
  // a day's level is the same bits whatever was asked before it.
  auto it = p.levels.find(d);
  if (it == p.levels.end()) {
    if (p.levels.size() > 20'000) p.levels.clear();
    double sum = 0, weight = 1;
    for (int j = 0; j < kLevelTerms; ++j, weight *= kLevelPhi)
      sum += weight * normal(at(p.key, 0x4c45564cULL, d - j));
    it = p.levels.emplace(d, sum).first;
  }
  return std::log(p.instrument.base_price) + p.instrument.volatility * it->second;
}

const Market::Day& Market::day(Path& p, std::int64_t d) {
  if (auto it = p.days.find(d); it != p.days.end()) return it->second;
  // One bound over every symbol's days: any code gets a path, so a client naming many
  // symbols must not grow the cache without limit.
  if (cached_days_ >= kCachedDays) {
    for (auto& [symbol, other] : paths_) other->days.clear();
    cached_days_ = 0;
  }
  ++cached_days_;
  Day out;
  const auto minutes = static_cast<std::size_t>(day_minutes(sessions_, d));
  if (minutes > 0) {
    const double daily = p.instrument.volatility;
    // Per-minute variance so that a day's returns add up to the instrument's volatility;
    // each day starts from a variance of its own (volatility regimes).
    const double variance = daily * daily / static_cast<double>(minutes);
    const double omega = variance * (1.0 - kArchAlpha - kGarchBeta);
    double h = variance * std::exp(0.7 * normal(at(p.key, 0x56415231ULL, d)) - 0.245);
    std::vector<double> walk(minutes + 1, 0.0);
    out.deviations.resize(minutes);
    for (std::size_t i = 0; i < minutes; ++i) {
      const double deviation = std::sqrt(h);
      const double r =
          deviation * normal(at(p.key, 0x4d494e55ULL, d * 2048 + static_cast<std::int64_t>(i)));
      walk[i + 1] = walk[i] + r;
      out.deviations[i] = deviation;
      h = omega + kArchAlpha * r * r + kGarchBeta * h;
    }
    // Tied so that the day closes at the next day's level: a constant drift per minute.
    const double target = day_level(p, d + 1) - day_level(p, d);
    const double drift = (target - walk[minutes]) / static_cast<double>(minutes);
    out.offsets.resize(minutes + 1);
    for (std::size_t i = 0; i <= minutes; ++i)
      out.offsets[i] = walk[i] + drift * static_cast<double>(i);
  }
  return p.days.emplace(d, std::move(out)).first->second;
}

double Market::raw_price(Path& p, std::int64_t ms) {
  const std::int64_t d = local_day(ms);
  const std::int64_t into = ms + kLocalOffset - d * kDayMs;
  const double level = day_level(p, d);
  const Day& today = day(p, d);
  double log_price = level;
  if (!today.deviations.empty()) {
    const std::size_t minutes = today.deviations.size();
    const double u = static_cast<double>(traded_before(sessions_, d, into)) / kMinute;
    const auto i = std::min(static_cast<std::size_t>(u), minutes - 1);
    const double f = std::clamp(u - static_cast<double>(i), 0.0, 1.0);
    log_price += today.offsets[i] + f * (today.offsets[i + 1] - today.offsets[i]);
    // Inside the minute: value noise over 2 to 32 s, held to zero at the minute's ends.
    double noise = 0;
    const double seconds = static_cast<double>(ms) / 1000.0;
    for (int k = 1; k <= 5; ++k) {
      const double position = seconds / std::ldexp(1.0, k);
      const double cell = std::floor(position);
      const double frac = position - cell;
      const auto n = static_cast<std::int64_t>(cell);
      const std::uint64_t salt = 0x5355424dULL + static_cast<std::uint64_t>(k);
      const double v0 = normal(at(p.key, salt, n)), v1 = normal(at(p.key, salt, n + 1));
      noise += v0 + (v1 - v0) * frac;
    }
    log_price +=
        today.deviations[i] * 0.5 * 2.0 * std::sqrt(f * (1.0 - f)) * noise / std::sqrt(5.0);
  }
  double price = std::exp(log_price);
  auto it = std::upper_bound(p.factors.begin(), p.factors.end(), ms,
                             [](std::int64_t t, const auto& f) { return t < f.first; });
  if (it != p.factors.begin()) price *= std::prev(it)->second;
  return price;
}

bool Market::trades_at(std::int64_t start_ms, int resolution_s) const {
  if (sessions_ == Sessions::kAllDay) return true;
  if (resolution_s >= 86400) return resolution_s > 86400 || weekday(local_day(start_ms));
  const std::int64_t d = local_day(start_ms);
  if (!weekday(d)) return false;
  const std::int64_t into = start_ms + kLocalOffset - d * kDayMs;
  for (const auto& w : kVnSessions)
    if (into >= w.from && into < w.to) return true;
  return false;
}

std::optional<std::int64_t> Market::next_bar(std::int64_t from_ms, int resolution_s,
                                             std::int64_t limit_ms) const {
  const std::int64_t length = std::int64_t{resolution_s} * 1000;
  for (std::int64_t t = floor_div(from_ms + length - 1, length) * length; t < limit_ms;
       t += length) {
    if (trades_at(t, resolution_s)) return t;
  }
  return std::nullopt;
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
  // Longer candles: every minute boundary in them (at most about 2000 points).
  const std::int64_t minutes = (end - start_ms) / kMinute;
  const std::int64_t stride = std::max<std::int64_t>(1, minutes / 2000);
  for (std::int64_t m = 1; m <= minutes; m += stride) {
    double v = round_to_tick(p.instrument, raw_price(p, start_ms + m * kMinute));
    c.high = std::max(c.high, v);
    c.low = std::min(c.low, v);
  }
  // Volume only where the market traded.
  const double traded = static_cast<double>(traded_between(sessions_, start_ms, end + 1));
  double per_minute = p.instrument.base_volume * (0.5 + unit(mix(h + 99)));
  double lots = std::round(per_minute * traded / kMinute / p.instrument.lot_size);
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
  if (count_back > 0 && sessions_ != Sessions::kAllDay) {
    // The last count_back candles the sessions hold: looked for further back, within reason
    // (a long weekend of one-second candles).
    std::vector<std::int64_t> starts;
    const double wide = 4.0 * kDayMs + 12.0 * static_cast<double>(count_back) * length;
    const std::int64_t reach = wide > 1e17 ? last_start : static_cast<std::int64_t>(wide);
    for (std::int64_t t = last_start;
         t >= 0 && t >= last_start - reach && std::cmp_less(starts.size(), count_back);
         t -= length) {
      if (trades_at(t, resolution_s)) starts.push_back(t);
    }
    for (auto it = starts.rbegin(); it != starts.rend(); ++it)
      out.push_back(candle(symbol, resolution_s, *it, now_ms));
    return out;
  }
  out.reserve(count);
  for (std::int64_t t = first_start; t <= last_start; t += length) {
    if (trades_at(t, resolution_s)) out.push_back(candle(symbol, resolution_s, t, now_ms));
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
