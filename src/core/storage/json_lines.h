#pragma once
// The line codec of `snapshots.ndjson`: one `UsageSnapshot` per line, keys in
// field order, absent optionals omitted, timestamps as ISO-8601 UTC without
// fractions, slashes unescaped. Reading is lenient about dates and skips any line
// that does not decode. Stateless; every function is safe from any thread.
#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "models/timestamp.h"
#include "models/usage_snapshot.h"

namespace qd::JSONLines {

// The message of a timestamp that none of the lenient readings accept.
inline constexpr std::string_view kUnrecognisedDate = "Unrecognised date";

// One record as one line of JSON text, without the line feed. Nothing when a
// number is not finite or a timestamp lies outside years 0000-9999, since the
// file could not carry it.
[[nodiscard]] std::optional<std::string> encodeLine(const UsageSnapshot& snapshot);

// One record from one line (surrounding spaces and tabs and a final line break
// allowed). Nothing when a required key is missing, an enum names no case, a
// value has the wrong JSON type, a date is unrecognised or the text is not one
// JSON object.
[[nodiscard]] std::optional<UsageSnapshot> decodeLine(std::string_view line);

// Every record that decodes, in text order. Lines end at "\n", "\r\n" or "\r".
[[nodiscard]] std::vector<UsageSnapshot> decodeLines(std::string_view text);

// As decodeLines, without copying: at least `kReadPadding` bytes after the end of
// `text` must be readable (their content does not matter).
inline constexpr size_t kReadPadding = 64;
[[nodiscard]] std::vector<UsageSnapshot> decodePaddedLines(std::string_view text);
// Appends to `out` instead; returns how many records were appended.
size_t decodePaddedLines(std::string_view text, std::vector<UsageSnapshot>& out);

// The lenient date reading. Text: RFC 3339 with a fraction, then without, then a
// plain decimal number (no surrounding whitespace). A number is seconds since
// 1970, or milliseconds when above 5,000,000,000. Nothing means kUnrecognisedDate.
[[nodiscard]] std::optional<Timestamp> parseDate(std::string_view text);
[[nodiscard]] std::optional<Timestamp> parseDate(double number);
// A JSON value: a string or a number as above; anything else is unrecognised.
[[nodiscard]] std::optional<Timestamp> parseDate(const nlohmann::json& value);
[[nodiscard]] std::optional<Timestamp> parseDate(const nlohmann::ordered_json& value);

}  // namespace qd::JSONLines
