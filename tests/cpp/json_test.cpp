#include "json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::json {
namespace {

using std::string_literals::operator""s;

constexpr const char* kControl = "control character (\\u0000-\\u001F) found while parsing a string";

// The error text of parsing `text`, or "ok". The text is copied into a buffer
// of exactly its size, so that reading past the view shows under ASan.
std::string error_of(std::string_view text) {
  auto exact = std::make_unique<char[]>(text.size());
  std::memcpy(exact.get(), text.data(), text.size());
  Result<Value> r = parse(std::string_view(exact.get(), text.size()));
  if (r.ok()) return "ok";
  EXPECT_EQ(r.status().code(), Status::Code::kInvalid);
  return r.status().message();
}

Value parse_ok(std::string_view text) {
  Result<Value> r = parse(text);
  EXPECT_TRUE(r.ok()) << text << ": " << r.status().message();
  return r.ok() ? std::move(r).value() : Value();
}

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> keys;
  for (const Member& m : v.as_object()) keys.push_back(m.key);
  return keys;
}

TEST(JsonParse, ErrorMessagesAndPositions) {
  const std::string zeros308(308, '0');
  // clang-format off
  // The error is followed by " at line <line> column <column>".
  const struct { std::string text; const char* error; int line, column; } cases[] = {
      {"", "EOF while parsing a value", 1, 0}, {"tru", "EOF while parsing a value", 1, 3},
      {"{}x", "trailing characters", 1, 3}, {"{\"a\" 1}", "expected `:`", 1, 6},
      {"{\"a\":}", "expected value", 1, 6}, {"{\"a\":1,}", "trailing comma", 1, 8},
      {"{\"a\":", "EOF while parsing a value", 1, 5}, {"[,1]", "expected value", 1, 2},
      {"{\"a\":1,", "EOF while parsing a value", 1, 7}, {"[", "EOF while parsing a list", 1, 1},
      {"{", "EOF while parsing an object", 1, 1}, {"{1:2}", "key must be a string", 1, 2},
      {"{\"a\":1 2}", "expected `,` or `}`", 1, 8}, {"[1", "EOF while parsing a list", 1, 2},
      {"[1,]", "trailing comma", 1, 4}, {"[1 2]", "expected `,` or `]`", 1, 4},
      {"trUe", "expected ident", 1, 3}, {"x", "expected value", 1, 1},
      // Numbers.
      {"-", "EOF while parsing a value", 1, 1}, {"1e+", "EOF while parsing a value", 1, 3},
      {"1.", "EOF while parsing a value", 1, 2}, {"1ex", "invalid number", 1, 3},
      {"-x", "invalid number", 1, 2}, {"01", "invalid number", 1, 2},
      {"[1.]", "invalid number", 1, 4}, {"1e400", "number out of range", 1, 5},
      // Refused by the scanner before conversion, though in range.
      {"0e400", "number out of range", 1, 5}, {"2" + zeros308, "number out of range", 1, 309},
      {"1" + zeros308 + "0e-300", "number out of range", 1, 315},
      {"2" + zeros308 + ".x", "invalid number", 1, 311},
      // Strings.
      {"\"abc", "EOF while parsing a string", 1, 4}, {"\"\\x\"", "invalid escape", 1, 3},
      {"\"\\u12G4\"", "invalid escape", 1, 6}, {"\"a\\", "EOF while parsing a string", 1, 3},
      {"\"\\u12\"", "EOF while parsing a string", 1, 6},
      {"\"\\uD800\\n\"", "unexpected end of hex escape", 1, 9},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape", 1, 7},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape", 1, 13},
      {"\"\\uD800\"", "unexpected end of hex escape", 1, 8},
      // NUL bytes are input, not the end of it.
      {"\0"s, "expected value", 1, 1}, {"{}\0"s, "trailing characters", 1, 3},
      {"\"a\0\""s, kControl, 1, 3},
      // Lines count LF only; a LF byte itself is column 0 of the next line.
      {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:`", 3, 7}, {"\"a\nb\"", kControl, 2, 0},
      {"[\r\n1,\n]", "trailing comma", 3, 1}, {"[1,\n", "EOF while parsing a value", 2, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(error_of(c.text), std::string(c.error) + " at line " + std::to_string(c.line) +
                                    " column " + std::to_string(c.column));
  }
}

TEST(JsonParse, NestingLimit) {
  auto nested = [](size_t depth, const std::string& open, const std::string& close) {
    std::string s;
    for (size_t i = 0; i < depth; ++i) s.insert(0, open).append(close);
    return s.insert(depth * open.size(), "1");
  };
  EXPECT_EQ(error_of(nested(127, "{\"a\":", "}")), "ok");
  EXPECT_EQ(error_of(nested(128, "[", "]")), "recursion limit exceeded at line 1 column 128");
  // 127 objects of 5 bytes each come before the 128th `{`.
  EXPECT_EQ(error_of(nested(128, "{\"a\":", "}")), "recursion limit exceeded at line 1 column 636");
  EXPECT_EQ(error_of(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
  // The 128th bracket is the `{` of the 64th 6-byte unit.
  EXPECT_EQ(error_of(nested(1000, "[{\"k\":", "}]")),
            "recursion limit exceeded at line 1 column 380");
  Value v = parse_ok(nested(127, "[", "]"));
  size_t depth = 0;
  for (const Value* p = &v; p->is_array(); p = &p->as_array().at(0)) ++depth;
  EXPECT_EQ(depth, 127u);
}

TEST(JsonParse, NumberKinds) {
  using K = Value::Kind;
  // clang-format off
  // The value is compared through number_as_double().
  const struct { std::string text; K kind; double value; } cases[] = {
      {"0", K::kUint, 0}, {"-1", K::kInt, -1}, {"-0", K::kInt, 0}, {"1E+2", K::kDouble, 100},
      {"18446744073709551615", K::kUint, 18446744073709551615.0},
      {"18446744073709551616", K::kDouble, 18446744073709551616.0},
      {"-9223372036854775808", K::kInt, -9223372036854775808.0},
      {"-9223372036854775809", K::kDouble, -9223372036854775809.0},
      {"1.7976931348623157e308", K::kDouble, 1.7976931348623157e308},
      {"1" + std::string(300, '0') + "e-295", K::kDouble, 1e5},
      // Regressions: RapidJSON 1.1.0's own conversion crashes on these.
      {"0." + std::string(340, '0') + "1e-10", K::kDouble, 0},
      {"0." + std::string(360, '0') + "1", K::kDouble, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    Value v = parse_ok(c.text);
    ASSERT_EQ(v.kind(), c.kind);
    EXPECT_EQ(v.number_as_double(), c.value);
  }
  EXPECT_EQ(parse_ok("-9223372036854775808").as_int(), INT64_MIN);
  EXPECT_EQ(parse_ok("18446744073709551615").as_uint(), UINT64_MAX);
  EXPECT_TRUE(std::signbit(parse_ok("-0.0").as_double()));
  EXPECT_TRUE(std::signbit(parse_ok("-1e-400").as_double()));
}

TEST(JsonParse, ObjectKeysSortedByBytesLastDuplicateWins) {
  Value v = parse_ok(R"({"b":1, "a":2, "\u00e9":3, "Z":4, "z":5, "a\u0000":6, "":7})");
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"", "Z", "a", "a\0"s, "b", "z", "\xc3\xa9"}));

  v = parse_ok(R"({"a":1, "b":{"y":1,"x":2}, "a":[3], "c":4, "a":5})");
  ASSERT_EQ(keys_of(v), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(keys_of(v.as_object()[1].value), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(v.as_object()[0].value.as_uint(), 5u);  // the last of repeated keys

  // Larger objects take another sorting path: k0..k19 written twice each, in
  // descending order of their values, so each key's later value is its number.
  std::string many = "{";
  for (int i = 39; i >= 0; --i)
    many += "\"k" + std::to_string(i % 20) + "\":" + std::to_string(i) + (i > 0 ? "," : "}");
  v = parse_ok(many);
  ASSERT_EQ(v.as_object().size(), 20u);
  EXPECT_TRUE(std::is_sorted(v.as_object().begin(), v.as_object().end(),
                             [](const Member& a, const Member& b) { return a.key < b.key; }));
  for (const Member& m : v.as_object())
    EXPECT_EQ(std::to_string(m.value.as_uint()), m.key.substr(1));
}

TEST(JsonParse, ValuesAndStrings) {
  const Array a = parse_ok(" \t\r\n[null, true, false, \"s\", [], {}, [1, [2]]] \n").as_array();
  ASSERT_EQ(a.size(), 7u);
  EXPECT_TRUE(a[0].is_null() && a[1].as_bool() && !a[2].as_bool() && a[3].as_string() == "s");
  EXPECT_TRUE(a[4].as_array().empty() && a[5].as_object().empty());
  EXPECT_EQ(a[6].as_array()[1].as_array()[0].as_uint(), 2u);
  EXPECT_EQ(parse_ok(R"("\u0000")").as_string(), "\0"s);
  EXPECT_EQ(parse_ok(R"("a\"\\\/\b\f\n\r\tz")").as_string(), "a\"\\/\b\f\n\r\tz");
  EXPECT_EQ(parse_ok(R"("\u00e9\u20AC\uD83D\uDE00")").as_string(),
            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(parse_ok("\"\xc3\xa9\x7f\"").as_string(), "\xc3\xa9\x7f");     // raw bytes as they are
  EXPECT_EQ(parse_ok(std::string_view("[1]]", 3)).as_array().size(), 1u);  // no NUL at the end
}

}  // namespace
}  // namespace ostrel::json
