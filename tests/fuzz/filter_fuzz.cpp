// libFuzzer target for FilterEngine::apply_filter. The input is a filter
// text, evaluated against one small index built at start-up (strings,
// booleans, numbers closer than the grouping tolerance and beyond 2^53, a
// field of mixed kinds, nested objects, a dotted key, nulls, arrays, a
// re-added document and three removed ones). Every input must give the same
// outcome twice and through eval_filter; a text that does not parse fails
// with the parser's own message; a result holds only live documents (never a
// removed id); {"$not": X} is all_docs minus X, or no constraint when X is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include <roaring/roaring.hh>

#include "filter.h"
#include "json.h"

namespace {

using ostrel::ClauseResult;
using ostrel::FilterEngine;
using ostrel::Result;
using ostrel::json::Member;
using ostrel::json::Object;
using ostrel::json::Value;

struct Fixture {
  FilterEngine engine;
  Roaring live;     // what all_docs must be
  Roaring removed;  // ids that were added and then removed
};

void check(bool ok) {
  if (!ok) std::abort();
}

// Indexes `metadata` for `id`, or with `unindex` takes its entries out (as
// the adding path does with the old object of a re-added id).
void add(Fixture& f, uint32_t id, std::string_view metadata, bool unindex = false) {
  Result<Value> parsed = ostrel::json::parse(metadata);
  check(parsed.ok());
  if (unindex) return f.engine.unindex_object(parsed->as_object(), "", id);
  f.engine.add_document(id);
  f.live.add(id);
  if (parsed->is_object()) f.engine.index_object(parsed->as_object(), "", id);
}

Fixture* build_fixture() {
  auto* f = new Fixture;
  add(*f, 0, R"({"color":"red","price":10,"stock":true,"tags":["x","y"],"dims":{"w":2,"h":3.5}})");
  add(*f, 1, R"({"color":"blue","price":20.5,"stock":false,"note":null,"tags":"x"})");
  add(*f, 2, R"({"color":"red","price":1.0,"a":{"b":{"c":"deep"}},"rating":-3})");
  add(*f, 3, R"({"color":"true","price":1.0000000005,"flag":"true","rating":-3.0})");
  add(*f, 4, R"({"price":"10","a.b":{"c":"deep"},"stock":true,"note":{}})");
  add(*f, 5, R"({"color":"green","price":9007199254740993,"big":18446744073709551615})");
  add(*f, 6, R"({"color":"red","price":15,"flag":true,"dims":{"w":2.0000000001}})");
  add(*f, 7, R"({"color":"blue","price":-0.0,"gone":"yes","dims":{"w":7}})");
  add(*f, 8, R"({"color":"violet","price":12,"gone":1})");
  add(*f, 9, R"(["not","an","object"])");
  add(*f, 10, R"({"color":"red","price":5,"was":"first"})");
  add(*f, 11, R"({})");
  add(*f, 70000, R"({"color":"red","price":10,"dims":{"w":2}})");
  add(*f, 4294967295u, R"({"name":"max","price":1e300,"rating":-1e-300})");
  add(*f, 10, R"({"color":"red","price":5,"was":"first"})", /*unindex=*/true);
  add(*f, 10, R"({"color":"blue","price":6,"now":"second"})");

  f->engine.remove_document(7);
  f->engine.remove_all(Roaring::bitmapOf(3, 8, 11, 12345));  // 12345 was never added
  for (uint32_t id : {7u, 8u, 11u}) {
    f->live.remove(id);
    f->removed.add(id);
  }
  return f;
}

Fixture& fixture() {
  static Fixture* f = build_fixture();  // reachable for the process lifetime
  return *f;
}

bool same(const ClauseResult& a, const ClauseResult& b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = fixture();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  Result<ClauseResult> first = f.engine.apply_filter(text);
  Result<ClauseResult> second = f.engine.apply_filter(text);
  check(first.ok() == second.ok());
  Result<Value> parsed = ostrel::json::parse(text);
  check(parsed.ok() == first.ok());
  if (!first.ok()) {
    check(first.status().code() == ostrel::Status::Code::kInvalid);
    check(first.status().message() == second.status().message());
    check(first.status().message() == parsed.status().message());
    return 0;
  }
  const ClauseResult& x = first.value();
  check(same(x, second.value()));
  if (x) {
    check(x->isSubset(f.live));
    check(!x->intersect(f.removed));
  }
  check(same(x, f.engine.eval_filter(parsed.value())));

  Object not_node;
  not_node.push_back(Member{"$not", std::move(parsed.value())});
  const ClauseResult not_x = f.engine.eval_filter(Value(std::move(not_node)));
  check(not_x.has_value() == x.has_value());
  if (x) check(!not_x->intersect(*x) && (*not_x | *x) == f.live);
  return 0;
}
