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

// The key of `field` without copying when it holds no escape (always, in files
// this program writes); otherwise its unescaped form.
bool fieldKey(od::field& field, std::string_view& key) {
  const char* raw = field.key().raw();
  const char* end = raw;
  // The closing quote exists: the structural pass has already matched it.
  while (*end != '"' && *end != '\\') ++end;
  if (*end == '"') {
    key = std::string_view(raw, static_cast<size_t>(end - raw));
    return true;
  }
  return field.unescaped_key().get(key) == simdjson::SUCCESS;
}

// Reads one value into `s`; false when the record must be refused.
bool readField(std::string_view key, od::value& v, UsageSnapshot& s, unsigned& seen) {
  switch (key.size()) {
    case 2:
      if (key == "id") {
        std::string_view text;
        if (!readString(v, text)) return false;
        auto id = Uuid::parse(text);
        if (!id) return false;
        s.id = *id;
        seen |= kId;
      }
      return true;
    case 6:
      if (key == "source") {
        std::string_view text;
        if (!readString(v, text)) return false;
        s.source.assign(text);
        seen |= kSource;
      }
      return true;
    case 7:
      if (key == "limitId") return readOptionalString(v, s.limitId);
      if (key == "modelId") return readOptionalString(v, s.modelId);
      if (key == "resetAt") {
        if (isNull(v)) {
          s.resetAt.reset();
          return true;
        }
        s.resetAt = readDate(v);
        return s.resetAt.has_value();
      }
      return true;
    case 8:
      if (key == "provider") {
        seen |= kProvider;
        return readEnum(v, s.provider);
      }
      if (key == "planType") return readOptionalString(v, s.planType);
      return true;
    case 9:
      if (key == "timestamp") {
        auto t = readDate(v);
        if (!t) return false;
        s.timestamp = *t;
        seen |= kTimestamp;
        return true;
      }
      if (key == "limitName") return readOptionalString(v, s.limitName);
      if (key == "speedMode") return readOptionalString(v, s.speedMode);
      return true;
    case 10:
      if (key == "windowKind") {
        seen |= kWindowKind;
        return readEnum(v, s.windowKind);
      }
      return true;
    case 11:
      if (key == "usedPercent") {
        seen |= kUsed;
        return readDouble(v, s.usedPercent);
      }
      if (key == "effortLevel") return readOptionalString(v, s.effortLevel);
      return true;
    case 15:
      if (key == "thinkingEnabled") {
        if (isNull(v)) {
          s.thinkingEnabled.reset();
          return true;
        }
        bool b;
        if (v.get_bool().get(b)) return false;
        s.thinkingEnabled = b;
      }
      return true;
    case 16:
      if (key == "remainingPercent") {
        seen |= kRemaining;
        return readDouble(v, s.remainingPercent);
      }
      if (key == "modelDisplayName") return readOptionalString(v, s.modelDisplayName);
      if (key == "sourceConfidence") {
        seen |= kConfidence;
        return readEnum(v, s.sourceConfidence);
      }
      return true;
    case 18:
      if (key == "windowDurationMins") {
        if (isNull(v)) {
          s.windowDurationMins.reset();
          return true;
        }
        double d;
        if (!readDouble(v, d)) return false;
        s.windowDurationMins = d;
      }
      return true;
    case 20:
      if (key == "rateLimitReachedType") return readOptionalString(v, s.rateLimitReachedType);
      return true;
    default:
      // Unknown keys are skipped by the iteration itself.
      return true;
  }
}

// Decodes one object into `s`. `data` has at least SIMDJSON_PADDING readable bytes after `len`.
bool decodeObject(od::parser& parser, const char* data, size_t len, UsageSnapshot& s) {
  od::document doc;
  if (parser.iterate(data, len, len + simdjson::SIMDJSON_PADDING).get(doc)) return false;
  od::object object;
  if (doc.get_object().get(object)) return false;
  unsigned seen = 0;
  for (auto fieldResult : object) {
    od::field field;
    if (std::move(fieldResult).get(field)) return false;
    std::string_view key;
    if (!fieldKey(field, key)) return false;
    od::value v = field.value();
    if (!readField(key, v, s, seen)) return false;
  }
  // Trailing content after the object makes the line unreadable.
  if (doc.current_location().error() != simdjson::OUT_OF_BOUNDS) return false;
  return seen == kAllRequired;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Decodes one line (already split off) and appends it when it reads.
bool decodeSegment(od::parser& parser, const char* begin, const char* end, std::vector<UsageSnapshot>& out) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  const size_t len = static_cast<size_t>(end - begin);
  if (len == 0 || len > kMaxLineBytes) return false;
  // Decoded in place; the id is always overwritten, so no random one is drawn.
  out.push_back(UsageSnapshot{.id = Uuid{}});
  if (decodeObject(parser, begin, len, out.back())) return true;
  out.pop_back();
  return false;
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
  size_t lines = 1;
  for (const char* p = text.data(); (p = static_cast<const char*>(std::memchr(p, '\n', text.data() + text.size() - p)));
       ++p)
    ++lines;
  out.reserve(lines);
  decodePaddedLines(text, out);
  return out;
}

std::vector<UsageSnapshot> decodeLines(std::string_view text) {
  simdjson::padded_string padded(text);
  return decodePaddedLines(std::string_view(padded.data(), padded.size()));
}

}  // namespace qd::JSONLines
