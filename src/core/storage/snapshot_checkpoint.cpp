#include "storage/snapshot_checkpoint.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>
#include <unordered_map>

#include "models/enum_cases.h"
#include "models/provider.h"
#include "models/source_confidence.h"
#include "models/window_kind.h"

namespace qd::SnapshotCheckpointFile {

namespace {

// Version 1: the fields of UsageSnapshot as of this file; bump it when a field
// is added, so that older checkpoints are decoded again from the JSON lines.
constexpr char kMagic[8] = {'Q', 'D', 'S', 'N', 'A', 'P', 'C', 'K'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kByteOrder = 0x01020304;
constexpr size_t kHeaderBytes = sizeof kMagic + 4 + 4 + 8 + 8;
// uuid, four one-byte fields, timestamp, two percentages, reset time, duration, nine strings.
constexpr size_t kRecordBytes = 16 + 4 + 8 + 8 + 8 + 8 + 8 + 9 * 4;
// Longer than any tail or head the store keeps.
constexpr uint32_t kMaxKeptBytes = (uint32_t{1} << 20) + 4096;

enum Flag : uint8_t { hasResetAt = 1, hasDuration = 2, hasThinking = 4, thinking = 8 };

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  template <class T>
  void put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    out_.append(raw, sizeof(T));
  }
  void bytes(std::string_view text) {
    put(static_cast<uint32_t>(text.size()));
    out_.append(text);
  }

 private:
  std::string& out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  template <class T>
  bool get(T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (in_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(&value, in_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool bytes(std::string_view& text, uint32_t limit) {
    uint32_t n = 0;
    if (!get(n) || n > limit || in_.size() - pos_ < n) return false;
    text = in_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  [[nodiscard]] size_t left() const { return in_.size() - pos_; }

 private:
  std::string_view in_;
  size_t pos_ = 0;
};

uint64_t hashOf(std::string_view payload) { return std::hash<std::string_view>{}(payload); }

template <class E>
bool enumAt(uint8_t raw, E& out) {
  if (raw >= allCases<E>().size()) return false;
  out = allCases<E>()[raw];
  return true;
}

template <class E>
uint8_t indexOf(E value) {
  const auto& cases = allCases<E>();
  for (size_t i = 0; i < cases.size(); ++i)
    if (cases[i] == value) return static_cast<uint8_t>(i);
  return 0;
}

using StringField = std::optional<std::string> UsageSnapshot::*;
constexpr StringField kOptionalStrings[] = {
    &UsageSnapshot::limitId,   &UsageSnapshot::limitName,  &UsageSnapshot::modelId,
    &UsageSnapshot::modelDisplayName, &UsageSnapshot::effortLevel, &UsageSnapshot::speedMode,
    &UsageSnapshot::planType,  &UsageSnapshot::rateLimitReachedType,
};

}  // namespace

std::string encode(const SnapshotCheckpoint& state, const std::vector<UsageSnapshot>& snapshots) {
  // The strings repeat across readings (sources, models, plans): each is stored once.
  std::unordered_map<std::string_view, uint32_t> index;
  std::vector<std::string_view> table;
  auto ref = [&](const std::string* s) -> uint32_t {
    if (!s) return 0;
    auto [it, added] = index.try_emplace(*s, static_cast<uint32_t>(table.size() + 1));
    if (added) table.push_back(*s);
    return it->second;
  };
  std::string records;
  records.reserve(snapshots.size() * kRecordBytes);
  Writer r(records);
  for (const UsageSnapshot& s : snapshots) {
    records.append(reinterpret_cast<const char*>(s.id.bytes.data()), s.id.bytes.size());
    uint8_t flags = 0;
    if (s.resetAt) flags |= hasResetAt;
    if (s.windowDurationMins) flags |= hasDuration;
    if (s.thinkingEnabled) flags |= hasThinking | (*s.thinkingEnabled ? thinking : 0);
    r.put(indexOf(s.provider));
    r.put(indexOf(s.windowKind));
    r.put(indexOf(s.sourceConfidence));
    r.put(flags);
    r.put(static_cast<int64_t>(s.timestamp.time_since_epoch().count()));
    r.put(s.usedPercent);
    r.put(s.remainingPercent);
    r.put(static_cast<int64_t>(s.resetAt ? s.resetAt->time_since_epoch().count() : 0));
    r.put(s.windowDurationMins.value_or(0.0));
    for (StringField f : kOptionalStrings) r.put(ref((s.*f) ? &*(s.*f) : nullptr));
    r.put(ref(&s.source));
  }

  std::string payload;
  Writer p(payload);
  p.put(state.device);
  p.put(state.inode);
  p.put(state.mtimeNanos);
  p.put(state.size);
  p.put(static_cast<int64_t>(state.since.time_since_epoch().count()));
  p.put(state.lastLineStart);
  p.put(state.lastLineRecords);
  p.put(state.tailStart);
  p.bytes(state.tail);
  p.bytes(state.head);
  p.put(static_cast<uint32_t>(table.size()));
  for (std::string_view s : table) p.bytes(s);
  p.put(static_cast<uint64_t>(snapshots.size()));
  payload += records;
  return sealed(payload);
}

std::string sealed(std::string_view payload) {
  std::string out(kMagic, sizeof kMagic);
  out.reserve(kHeaderBytes + payload.size());
  Writer h(out);
  h.put(kVersion);
  h.put(kByteOrder);
  h.put(static_cast<uint64_t>(payload.size()));
  h.put(hashOf(payload));
  out += payload;
  return out;
}

std::optional<SnapshotCheckpoint> decode(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  Reader h(bytes.substr(sizeof kMagic));
  uint32_t version = 0, order = 0;
  uint64_t length = 0, hash = 0;
  if (!h.get(version) || !h.get(order) || !h.get(length) || !h.get(hash)) return std::nullopt;
  if (version != kVersion || order != kByteOrder || length != bytes.size() - kHeaderBytes) return std::nullopt;
  const std::string_view payload = bytes.substr(kHeaderBytes);
  if (hashOf(payload) != hash) return std::nullopt;

  SnapshotCheckpoint c;
  Reader p(payload);
  int64_t since = 0;
  std::string_view tail, head;
  if (!p.get(c.device) || !p.get(c.inode) || !p.get(c.mtimeNanos) || !p.get(c.size) || !p.get(since) ||
      !p.get(c.lastLineStart) || !p.get(c.lastLineRecords) || !p.get(c.tailStart) || !p.bytes(tail, kMaxKeptBytes) ||
      !p.bytes(head, kMaxKeptBytes))
    return std::nullopt;
  if (c.size < 0 || c.lastLineStart < 0 || c.lastLineStart > c.size || c.tailStart < -1 || c.tailStart > c.size ||
      (c.tailStart >= 0 && static_cast<int64_t>(tail.size()) != c.size - c.tailStart) ||
      static_cast<int64_t>(head.size()) > c.size)
    return std::nullopt;
  c.since = Timestamp(Timestamp::duration(since));
  c.tail.assign(tail);
  c.head.assign(head);

  uint32_t strings = 0;
  if (!p.get(strings) || strings > p.left() / 4) return std::nullopt;
  std::vector<std::string> table;
  table.reserve(strings);
  for (uint32_t i = 0; i < strings; ++i) {
    std::string_view s;
    if (!p.bytes(s, static_cast<uint32_t>(p.left()))) return std::nullopt;
    table.emplace_back(s);
  }
  uint64_t count = 0;
  if (!p.get(count) || count > p.left() / kRecordBytes || count * kRecordBytes != p.left() ||
      c.lastLineRecords > count)
    return std::nullopt;

  auto text = [&](uint32_t ref, const std::string*& out) {
    if (ref > table.size()) return false;
    out = ref == 0 ? nullptr : &table[ref - 1];
    return true;
  };
  // Room for appends: the store grows the list in place.
  c.snapshots.reserve(static_cast<size_t>(count + count / 2 + 1024));
  // Copies of one blank: a default-built reading draws a random id, to be overwritten here.
  const UsageSnapshot blank;
  for (uint64_t i = 0; i < count; ++i) {
    UsageSnapshot& s = c.snapshots.emplace_back(blank);
    uint8_t provider = 0, window = 0, confidence = 0, flags = 0;
    int64_t at = 0, resetAt = 0;
    double duration = 0;
    bool ok = p.get(s.id.bytes) && p.get(provider) && p.get(window) && p.get(confidence) && p.get(flags) &&
              p.get(at) && p.get(s.usedPercent) && p.get(s.remainingPercent) && p.get(resetAt) && p.get(duration);
    ok = ok && enumAt(provider, s.provider) && enumAt(window, s.windowKind) && enumAt(confidence, s.sourceConfidence) &&
         (flags & ~uint8_t{0x0F}) == 0 && std::isfinite(s.usedPercent) && std::isfinite(s.remainingPercent) &&
         std::isfinite(duration);
    if (!ok) return std::nullopt;
    s.timestamp = Timestamp(Timestamp::duration(at));
    if (flags & hasResetAt) s.resetAt = Timestamp(Timestamp::duration(resetAt));
    if (flags & hasDuration) s.windowDurationMins = duration;
    if (flags & hasThinking) s.thinkingEnabled = (flags & thinking) != 0;
    for (StringField f : kOptionalStrings) {
      uint32_t ref = 0;
      const std::string* value = nullptr;
      if (!p.get(ref) || !text(ref, value)) return std::nullopt;
      if (value) s.*f = *value;
    }
    uint32_t ref = 0;
    const std::string* source = nullptr;
    if (!p.get(ref) || !text(ref, source)) return std::nullopt;
    if (source) s.source = *source;
  }
  return c;
}

}  // namespace qd::SnapshotCheckpointFile
