#include "forecasting/transcript_line_parser.h"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "forecasting/pricing.h"
#include "models/timestamp.h"
#include "utilities/json_limits.h"

namespace qd {

namespace od = simdjson::ondemand;
using simdjson::error_code;
using simdjson::SUCCESS;

namespace {

constexpr int64_t kCountLimit = 1'000'000'000'000;  // 1e12 tokens per field

int64_t clampCount(int64_t v) { return v > kCountLimit ? kCountLimit : (v < -kCountLimit ? -kCountLimit : v); }

error_code consume(od::value v, int depth);

// "-?[0-9]+" up to the end of the token (its trailing whitespace aside).
bool isPlainInteger(std::string_view raw) {
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\n' || raw.back() == '\r'))
    raw.remove_suffix(1);
  size_t i = !raw.empty() && raw[0] == '-' ? 1 : 0;
  if (i == raw.size()) return false;
  if (raw[i] == '0' && raw.size() > i + 1) return false;
  for (; i < raw.size(); ++i)
    if (raw[i] < '0' || raw[i] > '9') return false;
  return true;
}

// Integral numbers give themselves, fractions are truncated toward zero, anything
// else gives 0. Consumes the value; an error means the line is not valid JSON.
error_code readCount(od::value v, int64_t& out) {
  out = 0;
  od::json_type type;
  if (auto e = v.type().get(type)) return e;
  // Other types count 0 but are still walked, so that a malformed value rejects the line.
  if (type != od::json_type::number) return consume(v, 3);
  const std::string_view raw = v.raw_json_token();
  od::number n;
  if (auto e = v.get_number().get(n)) {
    // Integers beyond 64 bits are valid JSON: clamp them by sign.
    if (!isPlainInteger(raw)) return e;
    out = raw[0] == '-' ? -kCountLimit : kCountLimit;
    return SUCCESS;
  }
  switch (n.get_number_type()) {
    case od::number_type::signed_integer:
      out = clampCount(n.get_int64());
      break;
    case od::number_type::unsigned_integer:
      out = kCountLimit;
      break;
    case od::number_type::floating_point_number: {
      const double d = n.get_double();
      if (std::isfinite(d)) out = clampCount(static_cast<int64_t>(std::fmax(std::fmin(std::trunc(d), 1e13), -1e13)));
      break;
    }
    default:
      break;
  }
  return SUCCESS;
}

error_code consume(od::value v, int depth);

error_code consumeObject(od::object o, int depth) {
  for (auto f : o) {
    od::field field;
    if (auto e = std::move(f).get(field)) return e;
    if (auto e = consume(field.value(), depth + 1)) return e;
  }
  return SUCCESS;
}

// Walks a value completely so that its syntax is checked (simdjson On-Demand only
// validates what it visits).
error_code consume(od::value v, int depth) {
  if (depth > kMaxJsonDepth) return simdjson::DEPTH_ERROR;
  od::json_type type;
  if (auto e = v.type().get(type)) return e;
  switch (type) {
    case od::json_type::object: {
      od::object o;
      if (auto e = v.get_object().get(o)) return e;
      return consumeObject(o, depth);
    }
    case od::json_type::array: {
      od::array a;
      if (auto e = v.get_array().get(a)) return e;
      for (auto el : a) {
        od::value item;
        if (auto e = std::move(el).get(item)) return e;
        if (auto e = consume(item, depth + 1)) return e;
      }
      return SUCCESS;
    }
    case od::json_type::string: {
      od::raw_json_string s;
      return v.get_raw_json_string().get(s);
    }
    case od::json_type::number: {
      const std::string_view raw = v.raw_json_token();
      od::number n;
      const error_code e = v.get_number().get(n);
      return (e == SUCCESS || isPlainInteger(raw)) ? SUCCESS : e;
    }
    case od::json_type::boolean: {
      bool b;
      return v.get_bool().get(b);
    }
    case od::json_type::null: {
      bool isNull = false;
      if (auto e = v.is_null().get(isNull)) return e;
      return isNull ? SUCCESS : simdjson::N_ATOM_ERROR;
    }
  }
  return simdjson::TAPE_ERROR;
}

struct Counts {
  int64_t input = 0, output = 0, cacheRead = 0, cacheCreation = 0;
  int64_t cachedInput = 0, reasoning = 0, total = 0;
};

enum class CountSet { claude, codex };

error_code readUsage(od::object o, CountSet set, Counts& c) {
  c = Counts{};
  for (auto f : o) {
    od::field field;
    if (auto e = std::move(f).get(field)) return e;
    const od::raw_json_string key = field.key();
    int64_t* target = nullptr;
    if (key == "input_tokens") target = &c.input;
    else if (key == "output_tokens") target = &c.output;
    else if (set == CountSet::claude && key == "cache_read_input_tokens") target = &c.cacheRead;
    else if (set == CountSet::claude && key == "cache_creation_input_tokens") target = &c.cacheCreation;
    else if (set == CountSet::codex && key == "cached_input_tokens") target = &c.cachedInput;
    else if (set == CountSet::codex && key == "reasoning_output_tokens") target = &c.reasoning;
    else if (set == CountSet::codex && key == "total_tokens") target = &c.total;
    if (target) {
      if (auto e = readCount(field.value(), *target)) return e;
    } else if (auto e = consume(field.value(), 2)) {
      return e;
    }
  }
  return SUCCESS;
}

// Reads a text value: sets `out` and `isText`; other types are walked.
error_code readText(od::value v, std::string_view& out, bool& isText) {
  od::json_type type;
  if (auto e = v.type().get(type)) return e;
  if (type == od::json_type::string) {
    isText = true;
    return v.get_string().get(out);
  }
  isText = false;
  return consume(v, 1);
}

void setTimestamp(std::string_view ts, TranscriptLineUsage& u) {
  u.timestampLength = ts.size();
  const size_t n = ts.size() < u.head.size() ? ts.size() : u.head.size();
  std::memcpy(u.head.data(), ts.data(), n);
  u.time = parseISO8601(ts);
}

}  // namespace

uint64_t transcriptDedupKey(std::string_view messageId, std::string_view requestId) {
  // FNV-1a over both texts with a separator, then a finaliser to spread the bits.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](std::string_view s) {
    for (unsigned char ch : s) {
      h ^= ch;
      h *= 1099511628211ull;
    }
  };
  mix(messageId);
  h ^= 0xff;
  h *= 1099511628211ull;
  mix(requestId);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h == 0 ? 1 : h;
}

struct TranscriptLineParser::Impl {
  od::parser parser;
  std::string scratch;  // padded copy for the unpadded entry points

  std::shared_ptr<const PriceList> prices;
  std::string model;  // the model of the last priced line

  explicit Impl(size_t maxLine) : parser(maxLine) {}

  void price(Provider provider, std::optional<std::string_view> name, const RequestTokens& tokens,
             TranscriptLineUsage& u) {
    model.assign(name.value_or(std::string_view()));
    u.model = model;
    if (!prices) return;
    const PriceList::Quote q = prices->quote(provider, name);
    u.pricedByFallback = q.fallback;
    if (q.rates) u.costNano = PriceList::costNano(*q.rates, tokens);
  }

  // Iterates `line` as a document whose root must be an object; `fieldFn` is
  // called with each top-level field and must consume its value.
  template <class FieldFn>
  bool walkRoot(std::string_view line, size_t capacity, FieldFn&& fieldFn) {
    if (line.size() > parser.max_capacity() || capacity < line.size() + simdjson::SIMDJSON_PADDING) return false;
    od::document doc;
    if (parser.iterate(line.data(), line.size(), capacity).get(doc)) return false;
    od::object root;
    if (doc.get_object().get(root)) return false;
    for (auto f : root) {
      od::field field;
      if (std::move(f).get(field)) return false;
      if (fieldFn(field) != SUCCESS) return false;
    }
    // Anything after the root object makes the line invalid.
    const char* rest = nullptr;
    if (doc.current_location().get(rest) == SUCCESS) return false;
    return true;
  }
};

TranscriptLineParser::TranscriptLineParser(size_t maxLineBytes)
    : impl_(std::make_unique<Impl>(maxLineBytes)) {}
TranscriptLineParser::~TranscriptLineParser() = default;

void TranscriptLineParser::setPrices(std::shared_ptr<const PriceList> prices) { impl_->prices = std::move(prices); }

std::optional<TranscriptLineUsage> TranscriptLineParser::claude(std::string_view line, size_t capacity) {
  std::string_view timestamp;
  bool hasTimestamp = false;
  bool messageIsObject = false;
  bool hasMessageUsage = false, hasTopUsage = false;
  Counts messageUsage, topUsage;
  std::string_view messageModel, topModel, messageId, requestId;
  bool hasMessageModel = false, hasTopModel = false, hasMessageId = false, hasRequestId = false;

  const bool ok = impl_->walkRoot(line, capacity, [&](od::field& field) -> error_code {
    const od::raw_json_string key = field.key();
    od::value value = field.value();
    if (key == "timestamp") return readText(value, timestamp, hasTimestamp);
    if (key == "model") return readText(value, topModel, hasTopModel);
    if (key == "requestId") return readText(value, requestId, hasRequestId);
    if (key == "usage" || key == "message") {
      const bool isMessage = key == "message";
      od::json_type type;
      if (auto e = value.type().get(type)) return e;
      if (type != od::json_type::object) {
        if (isMessage) {
          messageIsObject = false;
          hasMessageUsage = hasMessageModel = hasMessageId = false;
        } else {
          hasTopUsage = false;
        }
        return consume(value, 1);
      }
      od::object obj;
      if (auto e = value.get_object().get(obj)) return e;
      if (!isMessage) {
        hasTopUsage = true;
        return readUsage(obj, CountSet::claude, topUsage);
      }
      messageIsObject = true;
      hasMessageUsage = hasMessageModel = hasMessageId = false;
      for (auto mf : obj) {
        od::field m;
        if (auto e = std::move(mf).get(m)) return e;
        const od::raw_json_string mkey = m.key();
        od::value mv = m.value();
        if (mkey == "model") {
          if (auto e = readText(mv, messageModel, hasMessageModel)) return e;
        } else if (mkey == "id") {
          if (auto e = readText(mv, messageId, hasMessageId)) return e;
        } else if (mkey == "usage") {
          od::json_type ut;
          if (auto e = mv.type().get(ut)) return e;
          if (ut == od::json_type::object) {
            od::object uo;
            if (auto e = mv.get_object().get(uo)) return e;
            hasMessageUsage = true;
            if (auto e = readUsage(uo, CountSet::claude, messageUsage)) return e;
          } else {
            hasMessageUsage = false;
            if (auto e = consume(mv, 2)) return e;
          }
        } else if (auto e = consume(mv, 2)) {
          return e;
        }
      }
      return SUCCESS;
    }
    return consume(value, 1);
  });
  if (!ok || !hasTimestamp || timestamp.size() < 10) return std::nullopt;
  const Counts* usage = (messageIsObject && hasMessageUsage) ? &messageUsage : (hasTopUsage ? &topUsage : nullptr);
  if (!usage) return std::nullopt;
  const int64_t tokens = usage->input + usage->output + usage->cacheRead + usage->cacheCreation;
  if (tokens <= 0) return std::nullopt;

  std::optional<std::string_view> model;
  if (messageIsObject && hasMessageModel) model = messageModel;
  else if (hasTopModel) model = topModel;

  TranscriptLineUsage u;
  u.tokens = tokens;
  impl_->price(Provider::claude, model, {usage->input, usage->output, usage->cacheRead, usage->cacheCreation}, u);
  if (messageIsObject && hasMessageId && hasRequestId) u.dedupKey = transcriptDedupKey(messageId, requestId);
  setTimestamp(timestamp, u);
  return u;
}

std::optional<TranscriptLineUsage> TranscriptLineParser::codex(std::string_view line, size_t capacity,
                                                               std::optional<std::string_view> rolloutModel) {
  std::string_view timestamp, lineModel;
  bool hasTimestamp = false, hasLineModel = false;
  bool payloadIsObject = false, isTokenCount = false, hasLast = false;
  Counts last;

  const bool ok = impl_->walkRoot(line, capacity, [&](od::field& field) -> error_code {
    const od::raw_json_string key = field.key();
    od::value value = field.value();
    if (key == "timestamp") return readText(value, timestamp, hasTimestamp);
    if (key != "payload") return consume(value, 1);
    payloadIsObject = isTokenCount = hasLast = false;
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::object) return consume(value, 1);
    payloadIsObject = true;
    od::object payload;
    if (auto e = value.get_object().get(payload)) return e;
    for (auto pf : payload) {
      od::field p;
      if (auto e = std::move(pf).get(p)) return e;
      const od::raw_json_string pkey = p.key();
      od::value pv = p.value();
      if (pkey == "type") {
        std::string_view t;
        bool isText = false;
        if (auto e = readText(pv, t, isText)) return e;
        isTokenCount = isText && t == "token_count";
      } else if (pkey == "info") {
        hasLast = false;
        od::json_type it;
        if (auto e = pv.type().get(it)) return e;
        if (it != od::json_type::object) {
          if (auto e = consume(pv, 2)) return e;
          continue;
        }
        od::object info;
        if (auto e = pv.get_object().get(info)) return e;
        for (auto inf : info) {
          od::field i;
          if (auto e = std::move(inf).get(i)) return e;
          od::value iv = i.value();
          if (i.key() == "model") {
            if (auto e = readText(iv, lineModel, hasLineModel)) return e;
            hasLineModel = hasLineModel && !lineModel.empty();
            continue;
          }
          if (i.key() == "last_token_usage") {
            od::json_type lt;
            if (auto e = iv.type().get(lt)) return e;
            if (lt == od::json_type::object) {
              od::object lo;
              if (auto e = iv.get_object().get(lo)) return e;
              hasLast = true;
              if (auto e = readUsage(lo, CountSet::codex, last)) return e;
              continue;
            }
            hasLast = false;
          }
          if (auto e = consume(iv, 3)) return e;
        }
      } else if (auto e = consume(pv, 2)) {
        return e;
      }
    }
    return SUCCESS;
  });
  if (!ok || !hasTimestamp || timestamp.size() < 10) return std::nullopt;
  if (!payloadIsObject || !isTokenCount || !hasLast) return std::nullopt;
  if (last.total <= 0) return std::nullopt;

  // input_tokens includes the cached part and output_tokens the reasoning, as
  // total_tokens (= input + output) shows: each token is priced once.
  const int64_t input = last.input > 0 ? last.input : 0;
  const int64_t cached = std::clamp<int64_t>(last.cachedInput, 0, input);
  TranscriptLineUsage u;
  u.tokens = last.total;
  std::optional<std::string_view> model = rolloutModel;
  if (hasLineModel) model = lineModel;
  impl_->price(Provider::codex, model, {input - cached, last.output, cached, 0}, u);
  setTimestamp(timestamp, u);
  return u;
}

std::optional<std::string> TranscriptLineParser::codexTurnModel(std::string_view line, size_t capacity) {
  bool isTurnContext = false, hasModel = false;
  std::string_view model;
  const bool ok = impl_->walkRoot(line, capacity, [&](od::field& field) -> error_code {
    const od::raw_json_string key = field.key();
    od::value value = field.value();
    if (key == "type") {
      std::string_view t;
      bool isText = false;
      if (auto e = readText(value, t, isText)) return e;
      isTurnContext = isText && t == "turn_context";
      return SUCCESS;
    }
    if (key != "payload") return consume(value, 1);
    hasModel = false;
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::object) return consume(value, 1);
    od::object payload;
    if (auto e = value.get_object().get(payload)) return e;
    for (auto pf : payload) {
      od::field p;
      if (auto e = std::move(pf).get(p)) return e;
      od::value pv = p.value();
      if (p.key() == "model") {
        if (auto e = readText(pv, model, hasModel)) return e;
      } else if (auto e = consume(pv, 2)) {
        return e;
      }
    }
    return SUCCESS;
  });
  if (!ok || !isTurnContext || !hasModel || model.empty()) return std::nullopt;
  return std::string(model);
}

std::optional<TranscriptLineUsage> TranscriptLineParser::claude(std::string_view line) {
  impl_->scratch.assign(line);
  impl_->scratch.append(simdjson::SIMDJSON_PADDING, ' ');
  return claude(std::string_view(impl_->scratch.data(), line.size()), impl_->scratch.size());
}

std::optional<TranscriptLineUsage> TranscriptLineParser::codex(std::string_view line,
                                                               std::optional<std::string_view> rolloutModel) {
  impl_->scratch.assign(line);
  impl_->scratch.append(simdjson::SIMDJSON_PADDING, ' ');
  return codex(std::string_view(impl_->scratch.data(), line.size()), impl_->scratch.size(), rolloutModel);
}

std::optional<TranscriptLineParser::ModelSighting> TranscriptLineParser::claudeModel(std::string_view line) {
  impl_->scratch.assign(line);
  impl_->scratch.append(simdjson::SIMDJSON_PADDING, ' ');
  std::string_view timestamp, model;
  bool hasTimestamp = false, hasModel = false;
  const bool ok = impl_->walkRoot(
      std::string_view(impl_->scratch.data(), line.size()), impl_->scratch.size(),
      [&](od::field& field) -> error_code {
        const od::raw_json_string key = field.key();
        od::value value = field.value();
        if (key == "timestamp") return readText(value, timestamp, hasTimestamp);
        if (key != "message") return consume(value, 1);
        hasModel = false;
        od::json_type type;
        if (auto e = value.type().get(type)) return e;
        if (type != od::json_type::object) return consume(value, 1);
        od::object obj;
        if (auto e = value.get_object().get(obj)) return e;
        for (auto mf : obj) {
          od::field m;
          if (auto e = std::move(mf).get(m)) return e;
          od::value mv = m.value();
          if (m.key() == "model") {
            if (auto e = readText(mv, model, hasModel)) return e;
          } else if (auto e = consume(mv, 2)) {
            return e;
          }
        }
        return SUCCESS;
      });
  if (!ok || !hasModel || model.empty() || !hasTimestamp) return std::nullopt;
  auto t = parseISO8601(timestamp);
  if (!t) return std::nullopt;
  return ModelSighting{model, *t};
}

}  // namespace qd
