#include "forecasting/usage_history_cache.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "storage/file_reading.h"

namespace qd::UsageHistoryCache {

namespace od = simdjson::ondemand;
using simdjson::error_code;
using simdjson::SUCCESS;

namespace {

constexpr size_t kMaxCacheBytes = 512u << 20;

error_code readInt(od::value v, int64_t& out) { return v.get_int64().get(out); }

template <class Map>
error_code readIntMap(od::value v, Map& out) {
  od::object o;
  if (auto e = v.get_object().get(o)) return e;
  for (auto f : o) {
    od::field field;
    if (auto e = std::move(f).get(field)) return e;
    std::string_view k;
    if (auto e = field.unescaped_key().get(k)) return e;
    int64_t n;
    if (auto e = readInt(field.value(), n)) return e;
    out[std::string(k)] = n;
  }
  return SUCCESS;
}

int64_t dollarsToNano(double d) {
  if (!std::isfinite(d)) return 0;
  const double nano = std::round(d * 1e9);
  if (nano >= 9.2e18) return INT64_MAX;
  if (nano <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(nano);
}

// An hour key is an integer with an optional sign; other keys are skipped.
std::optional<int> parseHourKey(std::string_view k) {
  size_t i = 0;
  bool negative = false;
  if (i < k.size() && (k[i] == '+' || k[i] == '-')) negative = k[i++] == '-';
  if (i == k.size() || k.size() - i > 9) return std::nullopt;
  int v = 0;
  for (; i < k.size(); ++i) {
    if (k[i] < '0' || k[i] > '9') return std::nullopt;
    v = v * 10 + (k[i] - '0');
  }
  return negative ? -v : v;
}

bool parseHex(std::string_view s, uint64_t& out) {
  if (s.empty() || s.size() > 16) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
  return ec == std::errc() && p == s.data() + s.size();
}

error_code readKeyed(od::value v, std::vector<KeyedUsage>& out) {
  od::array a;
  if (auto e = v.get_array().get(a)) return e;
  for (auto el : a) {
    od::array item;
    if (auto e = el.get_array().get(item)) return e;
    KeyedUsage k;
    int index = 0;
    for (auto part : item) {
      od::value pv;
      if (auto e = std::move(part).get(pv)) return e;
      switch (index++) {
        case 0: {
          std::string_view hex;
          if (auto e = pv.get_string().get(hex)) return e;
          if (!parseHex(hex, k.key) || k.key == 0) return simdjson::INCORRECT_TYPE;
          break;
        }
        case 1: {
          int64_t us;
          if (auto e = readInt(pv, us)) return e;
          k.time = Timestamp{std::chrono::microseconds{us}};
          break;
        }
        case 2:
          if (auto e = readInt(pv, k.tokens)) return e;
          break;
        case 3:
          if (auto e = readInt(pv, k.costNano)) return e;
          break;
        case 4: {
          std::string_view day;
          if (auto e = pv.get_string().get(day)) return e;
          if (day.size() != k.day.size()) return simdjson::INCORRECT_TYPE;
          std::memcpy(k.day.data(), day.data(), day.size());
          break;
        }
        case 5: {
          int64_t h;
          if (auto e = readInt(pv, h)) return e;
          if (h < 0 || h > 23) return simdjson::INCORRECT_TYPE;
          k.hour = static_cast<int>(h);
          break;
        }
        default:
          return simdjson::INCORRECT_TYPE;
      }
    }
    if (index != 6) return simdjson::INCORRECT_TYPE;
    out.push_back(k);
  }
  return SUCCESS;
}

error_code readFileAgg(od::object o, FileAgg& agg) {
  bool hasSize = false, hasMtime = false, hasProvider = false, hasByDay = false;
  for (auto f : o) {
    od::field field;
    if (auto e = std::move(f).get(field)) return e;
    std::string_view key;
    if (auto e = field.unescaped_key().get(key)) return e;
    od::value v = field.value();
    if (key == "size") {
      if (auto e = readInt(v, agg.size)) return e;
      hasSize = true;
    } else if (key == "mtime") {
      if (auto e = v.get_double().get(agg.mtime)) return e;
      hasMtime = true;
    } else if (key == "provider") {
      std::string_view p;
      if (auto e = v.get_string().get(p)) return e;
      agg.provider.assign(p);
      hasProvider = true;
    } else if (key == "byDay") {
      agg.byDay.clear();
      if (auto e = readIntMap(v, agg.byDay)) return e;
      hasByDay = true;
    } else if (key == "byHour") {
      std::map<std::string, int64_t> raw;
      if (auto e = readIntMap(v, raw)) return e;
      agg.byHour.clear();
      for (const auto& [k, n] : raw)
        if (auto h = parseHourKey(k)) agg.byHour[*h] += n;
    } else if (key == "byDayCost") {
      od::object costs;
      if (auto e = v.get_object().get(costs)) return e;
      agg.byDayCostNano.clear();
      for (auto cf : costs) {
        od::field c;
        if (auto e = std::move(cf).get(c)) return e;
        std::string_view day;
        if (auto e = c.unescaped_key().get(day)) return e;
        double d;
        if (auto e = c.value().get_double().get(d)) return e;
        agg.byDayCostNano[std::string(day)] = dollarsToNano(d);
      }
    } else if (key == "keyed") {
      agg.keyed.clear();
      if (auto e = readKeyed(v, agg.keyed)) return e;
    } else if (key == "keyedBy") {
      std::string_view k;
      if (auto e = v.get_string().get(k)) return e;
      agg.keyedBy.assign(k);
    } else if (key == "fallbackModels") {
      od::array models;
      if (auto e = v.get_array().get(models)) return e;
      agg.fallbackModels.clear();
      for (auto m : models) {
        std::string_view name;
        if (auto e = m.get_string().get(name)) return e;
        agg.fallbackModels.emplace_back(name);
      }
    }  // unknown members are skipped unread
  }
  if (!hasSize || !hasMtime || !hasProvider || !hasByDay) return simdjson::NO_SUCH_FIELD;
  return SUCCESS;
}

void appendEscaped(std::string& out, std::string_view s) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

template <class T>
void appendNumber(std::string& out, T v) {
  char buf[64];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? p : buf);
}

}  // namespace

std::optional<FileAggCache> decode(std::string_view json) {
  if (json.size() > kMaxCacheBytes) return std::nullopt;
  simdjson::padded_string padded(json);
  od::parser parser;
  od::document doc;
  if (parser.iterate(padded).get(doc)) return std::nullopt;
  od::object root;
  if (doc.get_object().get(root)) return std::nullopt;
  FileAggCache cache;
  for (auto f : root) {
    od::field field;
    if (std::move(f).get(field)) return std::nullopt;
    std::string_view path;
    if (field.unescaped_key().get(path)) return std::nullopt;
    od::object aggObject;
    if (field.value().get_object().get(aggObject)) return std::nullopt;
    FileAgg agg;
    if (readFileAgg(aggObject, agg)) return std::nullopt;
    cache[std::string(path)] = std::move(agg);
  }
  const char* rest = nullptr;
  if (doc.current_location().get(rest) == SUCCESS) return std::nullopt;
  return cache;
}

std::string encode(const FileAggCache& cache) {
  std::string out;
  out.push_back('{');
  bool first = true;
  for (const auto& [path, agg] : cache) {
    if (!simdjson::validate_utf8(path.data(), path.size())) continue;
    if (!first) out.push_back(',');
    first = false;
    appendEscaped(out, path);
    out += ":{\"size\":";
    appendNumber(out, agg.size);
    out += ",\"mtime\":";
    appendNumber(out, std::isfinite(agg.mtime) ? agg.mtime : 0.0);
    out += ",\"provider\":";
    appendEscaped(out, agg.provider);
    out += ",\"byDay\":{";
    bool f = true;
    for (const auto& [day, n] : agg.byDay) {
      if (!f) out.push_back(',');
      f = false;
      appendEscaped(out, day);
      out.push_back(':');
      appendNumber(out, n);
    }
    out += "},\"byHour\":{";
    f = true;
    for (const auto& [hour, n] : agg.byHour) {
      if (!f) out.push_back(',');
      f = false;
      char key[16];
      std::snprintf(key, sizeof key, "%02d", hour);
      appendEscaped(out, key);
      out.push_back(':');
      appendNumber(out, n);
    }
    out += "},\"byDayCost\":{";
    f = true;
    for (const auto& [day, nano] : agg.byDayCostNano) {
      if (!f) out.push_back(',');
      f = false;
      appendEscaped(out, day);
      out.push_back(':');
      appendNumber(out, static_cast<double>(nano) / 1e9);
    }
    out += "}";
    if (!agg.keyed.empty()) {
      out += ",\"keyed\":[";
      f = true;
      for (const auto& k : agg.keyed) {
        if (!f) out.push_back(',');
        f = false;
        char hex[24];
        std::snprintf(hex, sizeof hex, "\"%016llx\",", static_cast<unsigned long long>(k.key));
        out.push_back('[');
        out += hex;
        appendNumber(out, static_cast<int64_t>(k.time.time_since_epoch().count()));
        out.push_back(',');
        appendNumber(out, k.tokens);
        out.push_back(',');
        appendNumber(out, k.costNano);
        out.push_back(',');
        appendEscaped(out, k.dayKey());
        out.push_back(',');
        appendNumber(out, k.hour);
        out.push_back(']');
      }
      out += "]";
    }
    if (!agg.keyedBy.empty()) {
      out += ",\"keyedBy\":";
      appendEscaped(out, agg.keyedBy);
    }
    if (!agg.fallbackModels.empty()) {
      out += ",\"fallbackModels\":[";
      f = true;
      for (const auto& m : agg.fallbackModels) {
        if (!simdjson::validate_utf8(m.data(), m.size())) continue;
        if (!f) out.push_back(',');
        f = false;
        appendEscaped(out, m);
      }
      out += "]";
    }
    out += "}";
  }
  out.push_back('}');
  return out;
}

std::optional<FileAggCache> load(const std::string& path) {
  auto bytes = readWholeFile(path, static_cast<int64_t>(kMaxCacheBytes));
  if (!bytes) return std::nullopt;
  return decode(*bytes);
}

}  // namespace qd::UsageHistoryCache
