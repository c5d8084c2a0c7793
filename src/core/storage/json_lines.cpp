#include "storage/json_lines.h"

#include <simdjson.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "models/enum_cases.h"

namespace qd::JSONLines {

static_assert(kReadPadding >= simdjson::SIMDJSON_PADDING, "the read padding must cover simdjson's");

namespace {

// What the file can carry: years 0000 to 9999 in the four-digit ISO form.
constexpr int64_t kMinUnixSeconds = -62167219200;  // 0000-01-01T00:00:00Z
constexpr int64_t kMaxUnixSeconds = 253402300799;  // 9999-12-31T23:59:59Z
// No snapshot line comes near this; longer lines are skipped unread.
constexpr size_t kMaxLineBytes = size_t{4} << 20;

bool representable(Timestamp t) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
  return secs >= kMinUnixSeconds && secs <= kMaxUnixSeconds;
}

std::optional<Timestamp> checked(std::optional<Timestamp> t) {
  if (t && representable(*t)) return t;
  return std::nullopt;
}

// A plain decimal number filling the whole text: sign, digits, fraction, exponent.
std::optional<double> decimalNumber(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  const size_t start = s[0] == '+' ? 1 : 0;
  double value = 0;
  const auto res = std::from_chars(s.data() + start, s.data() + s.size(), value);
  // Out of range reads as unrecognised, like any other unusable number.
  if (res.ec != std::errc{} || res.ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

template <class Json>
std::optional<Timestamp> parseJsonDate(const Json& value) {
  if (value.is_string()) return parseDate(std::string_view(value.template get_ref<const std::string&>()));
  if (value.is_number()) return parseDate(value.template get<double>());
  return std::nullopt;
}

// ---- decoding ---------------------------------------------------------------

namespace od = simdjson::ondemand;

enum Required : unsigned {
  kId = 1 << 0,
  kProvider = 1 << 1,
  kTimestamp = 1 << 2,
  kWindowKind = 1 << 3,
  kUsed = 1 << 4,
  kRemaining = 1 << 5,
  kSource = 1 << 6,
  kConfidence = 1 << 7,
  kAllRequired = (1 << 8) - 1,
};

bool readString(od::value& v, std::string_view& out) { return v.get_string().get(out) == simdjson::SUCCESS; }

bool readDouble(od::value& v, double& out) {
  od::json_type type;
  if (v.type().get(type) || type != od::json_type::number) return false;
  return v.get_double().get(out) == simdjson::SUCCESS;
}

bool isNull(od::value& v) {
  od::json_type type;
  return !v.type().get(type) && type == od::json_type::null;
}

std::optional<Timestamp> readDate(od::value& v) {
  od::json_type type;
  if (v.type().get(type)) return std::nullopt;
  if (type == od::json_type::string) {
    std::string_view text;
    if (v.get_string().get(text)) return std::nullopt;
    return parseDate(text);
  }
  if (type == od::json_type::number) {
    double number;
    if (v.get_double().get(number)) return std::nullopt;
    return parseDate(number);
  }
  return std::nullopt;
}

template <class E>
bool readEnum(od::value& v, E& out) {
  std::string_view raw;
  if (!readString(v, raw)) return false;
  auto e = enumFromRaw<E>(raw);
  if (!e) return false;
  out = *e;
  return true;
}

// An optional text: null and absent read as nothing; any other non-string fails.
bool readOptionalString(od::value& v, std::optional<std::string>& out) {
  if (isNull(v)) {
    out.reset();
    return true;
  }
  std::string_view s;
  if (!readString(v, s)) return false;
  out.emplace(s);
  return true;
}

// `data` has at least SIMDJSON_PADDING readable bytes after `len`.
std::optional<UsageSnapshot> decodeObject(od::parser& parser, const char* data, size_t len) {
  od::document doc;
  if (parser.iterate(data, len, len + simdjson::SIMDJSON_PADDING).get(doc)) return std::nullopt;
  od::object object;
  if (doc.get_object().get(object)) return std::nullopt;

  UsageSnapshot s;
  unsigned seen = 0;
  for (auto fieldResult : object) {
    od::field field;
    if (std::move(fieldResult).get(field)) return std::nullopt;
    std::string_view key;
    if (field.unescaped_key().get(key)) return std::nullopt;
    od::value v = field.value();
    bool ok = true;
    switch (key.size()) {
      case 2:
        if (key == "id") {
          std::string_view text;
          std::optional<Uuid> id;
          ok = readString(v, text) && (id = Uuid::parse(text)).has_value();
          if (ok) s.id = *id, seen |= kId;
        }
        break;
      default:
        if (key == "provider") {
          ok = readEnum(v, s.provider);
          seen |= kProvider;
        } else if (key == "timestamp") {
          auto t = readDate(v);
          ok = t.has_value();
          if (ok) s.timestamp = *t, seen |= kTimestamp;
        } else if (key == "windowKind") {
          ok = readEnum(v, s.windowKind);
          seen |= kWindowKind;
        } else if (key == "usedPercent") {
          ok = readDouble(v, s.usedPercent);
          seen |= kUsed;
        } else if (key == "remainingPercent") {
          ok = readDouble(v, s.remainingPercent);
          seen |= kRemaining;
        } else if (key == "resetAt") {
          if (isNull(v)) {
            s.resetAt.reset();
          } else {
            s.resetAt = readDate(v);
            ok = s.resetAt.has_value();
          }
        } else if (key == "windowDurationMins") {
          if (isNull(v)) {
            s.windowDurationMins.reset();
          } else {
            double d;
            ok = readDouble(v, d);
            if (ok) s.windowDurationMins = d;
          }
        } else if (key == "limitId") {
          ok = readOptionalString(v, s.limitId);
        } else if (key == "limitName") {
          ok = readOptionalString(v, s.limitName);
        } else if (key == "modelId") {
          ok = readOptionalString(v, s.modelId);
        } else if (key == "modelDisplayName") {
          ok = readOptionalString(v, s.modelDisplayName);
        } else if (key == "effortLevel") {
          ok = readOptionalString(v, s.effortLevel);
        } else if (key == "thinkingEnabled") {
          if (isNull(v)) {
            s.thinkingEnabled.reset();
          } else {
            bool b;
            ok = v.get_bool().get(b) == simdjson::SUCCESS;
            if (ok) s.thinkingEnabled = b;
          }
        } else if (key == "speedMode") {
          ok = readOptionalString(v, s.speedMode);
        } else if (key == "planType") {
          ok = readOptionalString(v, s.planType);
        } else if (key == "rateLimitReachedType") {
          ok = readOptionalString(v, s.rateLimitReachedType);
        } else if (key == "source") {
          std::string_view text;
          ok = readString(v, text);
          if (ok) s.source.assign(text), seen |= kSource;
        } else if (key == "sourceConfidence") {
          ok = readEnum(v, s.sourceConfidence);
          seen |= kConfidence;
        }
        // Unknown keys are skipped by the iteration itself.
        break;
    }
    if (!ok) return std::nullopt;
  }
  // Trailing content after the object makes the line unreadable.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return std::nullopt;
  if (seen != kAllRequired) return std::nullopt;
  return s;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Decodes one line (already split off) and appends it when it reads.
bool decodeSegment(od::parser& parser, const char* begin, const char* end, std::vector<UsageSnapshot>& out) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  const size_t len = static_cast<size_t>(end - begin);
  if (len == 0 || len > kMaxLineBytes) return false;
  auto s = decodeObject(parser, begin, len);
  if (!s) return false;
  out.push_back(std::move(*s));
  return true;
}

}  // namespace

// ---- dates ------------------------------------------------------------------

std::optional<Timestamp> parseDate(std::string_view text) {
  if (auto t = parseISO8601(text, true)) return checked(t);
  if (auto t = parseISO8601(text, false)) return checked(t);
  if (auto n = decimalNumber(text)) return parseDate(*n);
  return std::nullopt;
}

std::optional<Timestamp> parseDate(double number) {
  if (!std::isfinite(number)) return std::nullopt;
  if (number > 5'000'000'000.0) number /= 1000.0;
  if (number < static_cast<double>(kMinUnixSeconds) || number >= static_cast<double>(kMaxUnixSeconds + 1))
    return std::nullopt;
  return fromUnixSeconds(number);
}

std::optional<Timestamp> parseDate(const nlohmann::json& value) { return parseJsonDate(value); }
std::optional<Timestamp> parseDate(const nlohmann::ordered_json& value) { return parseJsonDate(value); }

// ---- encoding ---------------------------------------------------------------

std::optional<std::string> encodeLine(const UsageSnapshot& s) {
  if (!std::isfinite(s.usedPercent) || !std::isfinite(s.remainingPercent)) return std::nullopt;
  if (s.windowDurationMins && !std::isfinite(*s.windowDurationMins)) return std::nullopt;
  if (!representable(s.timestamp) || (s.resetAt && !representable(*s.resetAt))) return std::nullopt;
  try {
    nlohmann::ordered_json j;
    j["id"] = s.id.str();
    j["provider"] = rawValue(s.provider);
    j["timestamp"] = formatISO8601(s.timestamp);
    j["windowKind"] = rawValue(s.windowKind);
    j["usedPercent"] = s.usedPercent;
    j["remainingPercent"] = s.remainingPercent;
    if (s.resetAt) j["resetAt"] = formatISO8601(*s.resetAt);
    if (s.windowDurationMins) j["windowDurationMins"] = *s.windowDurationMins;
    if (s.limitId) j["limitId"] = *s.limitId;
    if (s.limitName) j["limitName"] = *s.limitName;
    if (s.modelId) j["modelId"] = *s.modelId;
    if (s.modelDisplayName) j["modelDisplayName"] = *s.modelDisplayName;
    if (s.effortLevel) j["effortLevel"] = *s.effortLevel;
    if (s.thinkingEnabled) j["thinkingEnabled"] = *s.thinkingEnabled;
    if (s.speedMode) j["speedMode"] = *s.speedMode;
    if (s.planType) j["planType"] = *s.planType;
    if (s.rateLimitReachedType) j["rateLimitReachedType"] = *s.rateLimitReachedType;
    j["source"] = s.source;
    j["sourceConfidence"] = rawValue(s.sourceConfidence);
    // Invalid UTF-8 in a text field is written as U+FFFD rather than failing.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// ---- lines ------------------------------------------------------------------

std::optional<UsageSnapshot> decodeLine(std::string_view line) {
  std::vector<UsageSnapshot> out;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() > kMaxLineBytes) return std::nullopt;
  // A line break inside would make this several lines; one line means one record.
  if (line.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
  simdjson::padded_string padded(line);
  od::parser parser;
  if (!decodeSegment(parser, padded.data(), padded.data() + padded.size(), out)) return std::nullopt;
  return std::move(out.front());
}

size_t decodePaddedLines(std::string_view text, std::vector<UsageSnapshot>& out) {
  thread_local od::parser parser;
  const size_t before = out.size();
  const char* p = text.data();
  const char* const end = text.data() + text.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* lineEnd = nl ? nl : end;
    // A bare carriage return also ends a line; "\r\n" leaves an empty piece that is skipped.
    const char* q = p;
    while (q < lineEnd) {
      const char* cr = static_cast<const char*>(std::memchr(q, '\r', static_cast<size_t>(lineEnd - q)));
      const char* pieceEnd = cr ? cr : lineEnd;
      decodeSegment(parser, q, pieceEnd, out);
      q = cr ? cr + 1 : lineEnd;
    }
    p = nl ? nl + 1 : end;
  }
  return out.size() - before;
}

std::vector<UsageSnapshot> decodePaddedLines(std::string_view text) {
  std::vector<UsageSnapshot> out;
  decodePaddedLines(text, out);
  return out;
}

std::vector<UsageSnapshot> decodeLines(std::string_view text) {
  simdjson::padded_string padded(text);
  return decodePaddedLines(std::string_view(padded.data(), padded.size()));
}

}  // namespace qd::JSONLines
