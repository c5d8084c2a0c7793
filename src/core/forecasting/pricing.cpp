#include "forecasting/pricing.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"
#include "utilities/resources.h"
#include "utilities/text.h"

namespace qd {

namespace {

using Json = nlohmann::json;

constexpr size_t kMaxPriceFileBytes = 1u << 20;
constexpr int kMaxDepth = 6;
constexpr double kMaxDollarsPerMillion = 1e6;

int64_t satAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t satMul(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
  return r;
}

// Dollars per million as thousandths; nothing unless a finite number in range.
std::optional<int64_t> milli(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double d = it->get<double>();
  if (!std::isfinite(d) || d < 0 || d > kMaxDollarsPerMillion) return std::nullopt;
  return static_cast<int64_t>(std::llround(d * 1000.0));
}

// input and output are required; a missing cache rate costs what uncached input costs.
std::optional<TokenRates> readRates(const Json& object) {
  const auto input = milli(object, "input"), output = milli(object, "output");
  if (!input || !output) return std::nullopt;
  TokenRates r{*input, *output, *input, *input};
  if (object.contains("cacheRead")) {
    auto v = milli(object, "cacheRead");
    if (!v) return std::nullopt;
    r.cacheRead = *v;
  }
  if (object.contains("cacheWrite")) {
    auto v = milli(object, "cacheWrite");
    if (!v) return std::nullopt;
    r.cacheWrite = *v;
  }
  return r;
}

std::optional<PriceList::Rates> readEntryRates(const Json& object) {
  auto base = readRates(object);
  if (!base) return std::nullopt;
  PriceList::Rates rates{*base, 0, {}};
  if (auto lc = object.find("longContext"); lc != object.end()) {
    if (!lc->is_object()) return std::nullopt;
    auto above = lc->find("aboveInputTokens");
    auto longRates = readRates(*lc);
    if (above == lc->end() || !above->is_number_integer() || above->get<int64_t>() <= 0 || !longRates)
      return std::nullopt;
    rates.longContextAbove = above->get<int64_t>();
    rates.longContext = *longRates;
  }
  return rates;
}

std::optional<Provider> readProvider(const Json& object) {
  auto it = object.find("provider");
  if (it == object.end() || !it->is_string()) return std::nullopt;
  const std::string& p = it->get_ref<const std::string&>();
  if (p == "claude") return Provider::claude;
  if (p == "codex") return Provider::codex;
  return std::nullopt;
}

// A separator, then a component that is not a short version number: "-20250514",
// "[1m]" and "-codex" continue the name; "-1" and ".1" name another version.
bool continuesName(std::string_view rest) {
  if (rest.empty()) return true;
  if (std::string_view("-@:[_. ").find(rest[0]) == std::string_view::npos) return false;
  size_t digits = 0;
  while (1 + digits < rest.size() && rest[1 + digits] >= '0' && rest[1 + digits] <= '9') ++digits;
  const bool componentEnds = 1 + digits == rest.size() || std::string_view("-@:[_. ").find(rest[1 + digits]) != std::string_view::npos;
  return !(digits >= 1 && digits <= 2 && componentEnds);
}

void hashBytes(uint64_t& h, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 1099511628211ull;
  }
}

void hashRates(uint64_t& h, const PriceList::Rates& r) {
  const int64_t values[] = {r.base.input,        r.base.output,        r.base.cacheRead,         r.base.cacheWrite,
                            r.longContextAbove,  r.longContext.input,  r.longContext.output,     r.longContext.cacheRead,
                            r.longContext.cacheWrite};
  hashBytes(h, values, sizeof values);
}

}  // namespace

std::string normalizedModelName(std::string_view model) {
  if (auto slash = model.rfind('/'); slash != std::string_view::npos) model.remove_prefix(slash + 1);
  while (!model.empty() && (model.front() == ' ' || model.front() == '\t')) model.remove_prefix(1);
  while (!model.empty() && (model.back() == ' ' || model.back() == '\t')) model.remove_suffix(1);
  return asciiLowercase(model);
}

std::optional<PriceList::Parsed> PriceList::parse(std::string_view text) {
  if (text.size() > kMaxPriceFileBytes) return std::nullopt;
  // Values nested deeper than the format needs are dropped while parsing.
  const Json doc = Json::parse(
      text, [](int depth, Json::parse_event_t, Json&) { return depth <= kMaxDepth; }, false);
  if (!doc.is_object()) return std::nullopt;
  const auto models = doc.find("models"), families = doc.find("families");
  const bool hasModels = models != doc.end() && models->is_array();
  const bool hasFamilies = families != doc.end() && families->is_array();
  if (!hasModels && !hasFamilies) return std::nullopt;

  Parsed out;
  if (hasModels) {
    for (const Json& m : *models) {
      std::optional<Provider> provider = m.is_object() ? readProvider(m) : std::nullopt;
      auto rates = provider ? readEntryRates(m) : std::nullopt;
      auto ids = m.is_object() ? m.find("ids") : m.end();
      Model model{provider.value_or(Provider::claude), {}, rates.value_or(Rates{})};
      if (rates && ids != m.end() && ids->is_array())
        for (const Json& id : *ids)
          if (id.is_string() && !normalizedModelName(id.get_ref<const std::string&>()).empty())
            model.ids.push_back(normalizedModelName(id.get_ref<const std::string&>()));
      if (!provider || !rates || model.ids.empty()) {
        ++out.skippedEntries;
        continue;
      }
      out.list.models_.push_back(std::move(model));
    }
  }
  if (hasFamilies) {
    for (const Json& f : *families) {
      std::optional<Provider> provider = f.is_object() ? readProvider(f) : std::nullopt;
      auto rates = provider ? readEntryRates(f) : std::nullopt;
      auto contains = f.is_object() ? f.find("contains") : f.end();
      if (!provider || !rates || contains == f.end() || !contains->is_string()) {
        ++out.skippedEntries;
        continue;
      }
      out.list.families_.push_back(
          Family{*provider, asciiLowercase(contains->get_ref<const std::string&>()), *rates});
    }
  }
  return out;
}

PriceList PriceList::merged(const PriceList& first, const PriceList& second) {
  PriceList out = first;
  out.models_.insert(out.models_.end(), second.models_.begin(), second.models_.end());
  out.families_.insert(out.families_.end(), second.families_.begin(), second.families_.end());
  return out;
}

PriceList::Loaded PriceList::load() {
  auto shipped = Resources::locate("pricing.json");
  return load(shipped ? std::optional<std::string>(shipped->string()) : std::nullopt,
              (LocalFileStore::baseDirectory() / "pricing.json").string());
}

PriceList::Loaded PriceList::load(const std::optional<std::string>& shippedPath, const std::string& overridePath) {
  Loaded loaded;
  PriceList list;
  auto read = [&loaded](const std::string& path, const char* what) -> std::optional<PriceList> {
    auto text = readWholeFile(path);
    if (!text) return std::nullopt;
    auto parsed = parse(*text);
    if (!parsed) {
      loaded.notes.push_back(std::string(what) + " " + path + " is not a valid price list; not used");
      return std::nullopt;
    }
    loaded.notes.push_back(std::string(what) + ": " + path);
    if (parsed->skippedEntries > 0)
      loaded.notes.push_back(std::string(what) + ": " + std::to_string(parsed->skippedEntries) +
                             " entries without valid rates skipped");
    return std::move(parsed->list);
  };
  std::optional<PriceList> shipped = shippedPath ? read(*shippedPath, "prices") : std::nullopt;
  if (!shipped) loaded.notes.push_back("no price list found; spend is not estimated");
  std::optional<PriceList> user = read(overridePath, "price overrides");
  if (user && shipped) list = merged(*user, *shipped);
  else if (user) list = std::move(*user);
  else if (shipped) list = std::move(*shipped);
  loaded.list = std::make_shared<const PriceList>(std::move(list));
  return loaded;
}

PriceList::Quote PriceList::quote(Provider provider, std::optional<std::string_view> model) const {
  const std::string name = model ? normalizedModelName(*model) : std::string();
  if (!name.empty()) {
    const Model* best = nullptr;
    size_t bestLength = 0;
    for (const Model& m : models_) {
      if (m.provider != provider) continue;
      for (const std::string& id : m.ids)
        if (id.size() > bestLength && name.starts_with(id) && continuesName(std::string_view(name).substr(id.size()))) {
          best = &m;
          bestLength = id.size();
        }
    }
    if (best) return Quote{&best->rates, false};
  }
  for (const Family& f : families_)
    if (f.provider == provider && (f.contains.empty() || (!name.empty() && name.find(f.contains) != std::string::npos)))
      return Quote{&f.rates, true};
  return Quote{};
}

int64_t PriceList::costNano(const Rates& rates, const RequestTokens& t) {
  const int64_t inputSide = satAdd(satAdd(std::max<int64_t>(t.input, 0), std::max<int64_t>(t.cacheRead, 0)),
                                   std::max<int64_t>(t.cacheWrite, 0));
  const TokenRates& r =
      rates.longContextAbove > 0 && inputSide > rates.longContextAbove ? rates.longContext : rates.base;
  return satAdd(satAdd(satMul(t.input, r.input), satMul(t.output, r.output)),
                satAdd(satMul(t.cacheRead, r.cacheRead), satMul(t.cacheWrite, r.cacheWrite)));
}

uint64_t PriceList::fingerprint() const {
  uint64_t h = 1469598103934665603ull;
  for (const Model& m : models_) {
    hashBytes(h, "m", 1);
    hashBytes(h, &m.provider, sizeof m.provider);
    for (const std::string& id : m.ids) hashBytes(h, id.c_str(), id.size() + 1);
    hashRates(h, m.rates);
  }
  for (const Family& f : families_) {
    hashBytes(h, "f", 1);
    hashBytes(h, &f.provider, sizeof f.provider);
    hashBytes(h, f.contains.c_str(), f.contains.size() + 1);
    hashRates(h, f.rates);
  }
  return h;
}

}  // namespace qd
