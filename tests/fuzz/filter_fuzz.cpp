// libFuzzer target for json::parse and FilterEngine::apply_filter on one text,
// against a small index of varied documents (a re-added one, removed ones).
// A text that parses has its objects strictly ordered by key; one that does
// not fails with one of the parser's messages, at a position inside the text,
// and apply_filter fails with the same message. Every input gives the same
// outcome twice and through eval_filter; a result holds only live documents;
// {"$not": X} is all_docs minus X, or no constraint when X is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include <roaring/roaring.hh>

#include "filter.h"
#include "json.h"

namespace {

using ostrel::ClauseResult;
using ostrel::json::Value;

void check(bool ok) {
  if (!ok) std::abort();
}

void check_tree(const Value& v) {
  if (v.is_array()) {
    for (const Value& e : v.as_array()) check_tree(e);
  } else if (v.is_object()) {
    const ostrel::json::Object& members = v.as_object();
    for (size_t i = 0; i < members.size(); ++i) {
      check(i == 0 || members[i - 1].key < members[i].key);
      check_tree(members[i].value);
    }
  }
}

// clang-format off
constexpr std::string_view kMessages[] = {
    "EOF while parsing a value", "EOF while parsing a list", "EOF while parsing an object",
    "EOF while parsing a string", "expected value", "expected ident", "trailing characters",
    "trailing comma", "key must be a string", "expected `:`", "expected `,` or `]`",
    "expected `,` or `}`", "invalid escape", "invalid number", "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "lone leading surrogate in hex escape", "unexpected end of hex escape",
    "recursion limit exceeded"};
// clang-format on

void check_error(const std::string& message, std::string_view text) {
  const size_t at = message.find(" at line ");
  bool known = false;
  for (std::string_view m : kMessages) known = known || message.compare(0, at, m) == 0;
  unsigned long line = 0, column = 0;
  check(at != std::string::npos && known &&
        std::sscanf(message.c_str() + at, " at line %lu column %lu", &line, &column) == 2);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  check(line >= 1 && line <= lines && column <= text.size());
}

bool same(const ClauseResult& a, const ClauseResult& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

struct Fixture {
  ostrel::FilterEngine engine;
  Roaring live = Roaring::bitmapOf(10, 0, 1, 2, 4, 5, 6, 9, 10, 70000, 4294967295u);
  Roaring removed = Roaring::bitmapOf(4, 3, 7, 8, 11);  // added, then removed

  Fixture() {
    const std::pair<uint32_t, std::string_view> docs[] = {
        {0, R"({"color":"red","price":10,"stock":true,"tags":["x","y"],"dims":{"w":2,"h":3.5}})"},
        {1, R"({"color":"blue","price":20.5,"stock":false,"note":null,"tags":"x"})"},
        {2, R"({"color":"red","price":1.0,"a":{"b":{"c":"deep"}},"rating":-3})"},
        {3, R"({"color":"true","price":1.0000000005,"flag":"true","rating":-3.0})"},
        {4, R"({"price":"10","a.b":{"c":"deep"},"stock":true,"note":{}})"},
        {5, R"({"color":"green","price":9007199254740993,"big":18446744073709551615})"},
        {6, R"({"color":"red","price":15,"flag":true,"dims":{"w":2.0000000001}})"},
        {7, R"({"color":"blue","price":-0.0,"gone":"yes","dims":{"w":7}})"},
        {8, R"({"color":"violet","price":12,"gone":1})"},
        {9, R"(["not","an","object"])"},
        {10, R"({"color":"red","price":5,"was":"first"})"},
        {11, R"({})"},
        {70000, R"({"color":"red","price":10,"dims":{"w":2}})"},
        {4294967295u, R"({"name":"max","price":1e300,"rating":-1e-300})"},
    };
    for (const auto& [id, metadata] : docs) {
      ostrel::Result<Value> parsed = ostrel::json::parse(metadata);
      check(parsed.ok());
      engine.add_document(id);
      if (parsed->is_object()) engine.index_object(parsed->as_object(), "", id);
      if (id != 10) continue;  // re-added, as the adding path does it
      engine.unindex_object(parsed->as_object(), "", id);
      engine.index_object(
          ostrel::json::parse(R"({"color":"blue","price":6,"now":"second"})")->as_object(), "", id);
    }
    engine.remove_document(7);
    engine.remove_all(Roaring::bitmapOf(4, 3, 8, 11, 12345));  // 12345 was never added
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* f = new Fixture;  // reachable for the process lifetime
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  ostrel::Result<ClauseResult> first = f->engine.apply_filter(text);
  ostrel::Result<ClauseResult> second = f->engine.apply_filter(text);
  ostrel::Result<Value> parsed = ostrel::json::parse(text);
  check(first.ok() == second.ok() && parsed.ok() == first.ok());
  if (!first.ok()) {
    check(first.status().code() == ostrel::Status::Code::kInvalid);
    check_error(first.status().message(), text);
    check(first.status().message() == second.status().message());
    check(first.status().message() == parsed.status().message());
    return 0;
  }
  check_tree(parsed.value());
  const ClauseResult& x = first.value();
  check(same(x, second.value()) && same(x, f->engine.eval_filter(parsed.value())));
  if (x) check(x->isSubset(f->live) && !x->intersect(f->removed));

  ostrel::json::Object not_node;
  not_node.push_back(ostrel::json::Member{"$not", std::move(parsed.value())});
  const ClauseResult not_x = f->engine.eval_filter(Value(std::move(not_node)));
  check(not_x.has_value() == x.has_value());
  if (x) check(!not_x->intersect(*x) && (*not_x | *x) == f->live);
  return 0;
}
