#include "utilities/json_document.h"

#include <gtest/gtest.h>

#include <string>

namespace qd {
namespace {

std::string nested(int depth, char open, const std::string& inner, char close) {
  return std::string(static_cast<size_t>(depth), open) + inner + std::string(static_cast<size_t>(depth), close);
}

std::string nestedObjects(int depth) {
  std::string s = "1";
  for (int i = 0; i < depth; ++i) s = "{\"k\":" + s + "}";
  return s;
}

TEST(ParseJsonDocument, RefusesDocumentsNestedBeyondTheBoundAsAWhole) {
  struct Case {
    std::string name, text;
    bool accepted;
  };
  const Case cases[] = {
      {"arrays at the bound", nested(kMaxJsonDepth, '[', "", ']'), true},
      {"arrays one deeper", nested(kMaxJsonDepth + 1, '[', "", ']'), false},
      {"objects at the bound", nestedObjects(kMaxJsonDepth), true},
      {"objects one deeper", nestedObjects(kMaxJsonDepth + 1), false},
      {"a deep member beside good ones", R"({"theme":"dark","x":)" + nested(200'000, '[', "", ']') + "}", false},
      {"a million unclosed", std::string(1'000'000, '[') + "}}", false},
      {"not JSON", "{\"a\":", false},
      {"two documents", "{} {}", false},
      {"a number beyond a double", R"({"a":[1e400]})", false},
      {"a number below the smallest double", R"({"a":-1e400})", false},
      {"tiny and huge but finite", R"({"a":[1e-400,1.7e308,18446744073709551616]})", true},
      {"a plain document", R"({"statusLine":{"command":"x"},"n":[1,2,{"a":null}]})", true},
  };
  for (const auto& c : cases) {
    const auto doc = parseJsonDocument(c.text);
    EXPECT_EQ(doc.has_value(), c.accepted) << c.name;
    // What is accepted can be copied and written without running out of stack.
    if (doc) EXPECT_EQ(parseJsonDocument(nlohmann::json(*doc).dump()), doc) << c.name;
  }
}

}  // namespace
}  // namespace qd
