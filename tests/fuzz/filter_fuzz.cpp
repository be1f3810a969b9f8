// libFuzzer target for FilterEngine::apply_filter. The input is a filter
// text, evaluated against one small index built at start-up: strings,
// booleans, numbers (two of them closer than the grouping tolerance, one
// beyond 2^53), a field holding a string in one document and numbers in the
// others, nested objects, a dotted key, nulls, arrays, a re-added document
// and three removed ones.
//
// Besides not crashing, every input must keep these promises:
//   - evaluating the same text twice gives the same outcome;
//   - a text that does not parse fails with the parser's own message;
//   - a result set holds only live documents (never a removed id);
//   - {"$not": X} is all_docs minus X (so the two are disjoint), and no
//     constraint when X is;
//   - {"$not": {"$not": X}}, {"$and": [X, X]} are X; {"$or": [X]} is X or {}.
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
using ostrel::json::Array;
using ostrel::json::Member;
using ostrel::json::Object;
using ostrel::json::Value;

struct Fixture {
  FilterEngine engine;
  Roaring live;     // what all_docs must be
  Roaring removed;  // ids that were added and then removed
};

void add(Fixture& f, uint32_t id, std::string_view metadata) {
  f.engine.add_document(id);
  f.live.add(id);
  Result<Value> parsed = ostrel::json::parse(metadata);
  if (!parsed.ok()) std::abort();
  if (parsed->is_object()) f.engine.index_object(parsed->as_object(), "", id);
}

// Replaces the indexed entries of `id` as the engine's adding path does for
// a re-added id: the old object is un-indexed before the new one goes in.
void readd(Fixture& f, uint32_t id, std::string_view old_metadata, std::string_view metadata) {
  Result<Value> old_parsed = ostrel::json::parse(old_metadata);
  if (!old_parsed.ok() || !old_parsed->is_object()) std::abort();
  f.engine.unindex_object(old_parsed->as_object(), "", id);
  add(f, id, metadata);
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
  readd(*f, 10, R"({"color":"red","price":5,"was":"first"})",
        R"({"color":"blue","price":6,"now":"second"})");

  f->engine.remove_document(7);
  Roaring batch;
  batch.add(8);
  batch.add(11);
  batch.add(12345);  // never added: a no-op
  f->engine.remove_all(batch);
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

void check(bool ok) {
  if (!ok) std::abort();
}

bool same(const ClauseResult& a, const ClauseResult& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || *a == *b;
}

Value wrap(std::string key, Value inner) {
  Object o;
  o.push_back(Member{std::move(key), std::move(inner)});
  return Value(std::move(o));
}

Value pair_of(const Value& x) {
  Array a;
  a.push_back(x);
  a.push_back(x);
  return Value(std::move(a));
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

  const ClauseResult not_x = f.engine.eval_filter(wrap("$not", parsed.value()));
  check(not_x.has_value() == x.has_value());
  if (x) {
    check(!not_x->intersect(*x));
    check((*not_x | *x) == f.live);
  }
  check(same(x, f.engine.eval_filter(wrap("$not", wrap("$not", parsed.value())))));
  check(same(x, f.engine.eval_filter(wrap("$and", pair_of(parsed.value())))));

  Array one;
  one.push_back(parsed.value());
  const ClauseResult or_x = f.engine.eval_filter(wrap("$or", Value(std::move(one))));
  check(or_x.has_value());
  check(*or_x == (x ? *x : Roaring()));
  return 0;
}
