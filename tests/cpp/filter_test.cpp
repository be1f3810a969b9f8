#include "filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

using Pairs = std::vector<IntervalTree::Pair>;

void add_doc(FilterEngine& engine, uint32_t id, std::string_view metadata) {
  Result<json::Value> v = json::parse(metadata);
  ASSERT_TRUE(v.ok() && v->is_object()) << metadata;
  engine.add_document(id);
  engine.index_object(v->as_object(), "", id);
}

// Appends every part (GCC 12 at -O3 misreports -Wrestrict on "literal" + std::string).
template <typename... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

std::string ids_text(const Roaring& set) {
  std::string out = "[";
  for (uint32_t id : set) out.append(concat(out.size() > 1 ? "," : "", std::to_string(id)));
  return out + "]";
}

// "none" for no constraint, "[ids]" for a set, "error: <message>" for a failure.
std::string outcome(FilterEngine& engine, std::string_view filter) {
  Result<ClauseResult> r = engine.apply_filter(filter);
  if (!r.ok()) return "error: " + r.status().message();
  return r.value() ? ids_text(*r.value()) : "none";
}

constexpr const char* kDocs[] = {
    R"({"color":"red","size":1,"price":10,"tags":["x","y"],"f":true,"a":{"b":1},"n":null})",
    R"({"color":"blue","size":2,"price":15.5,"f":"true","a.b":2,"tags":"x"})",
    R"({"color":"red","price":20,"f":false,"neg":-3,"$xyz":"q"})",
    R"({"price":25,"v":1.0,"w":5})",
    R"({})",
    R"({"v":1.0000000005,"big":9007199254740993,"w":5.0})",
    R"({"w":5e0,"big":9007199254740992,"color":"green","nested":{"deep":{"x":"y"}}})",
};

// clang-format off
// (filter, "none" | "[ids]" | "error: " and a message prefix)
const std::pair<const char*, const char*> kFilterCases[] = {
    // Node shapes: only the smallest key counts; unusable nodes give no constraint.
    {R"({"color": "red"})", "none"}, {R"({"color": {"$eq": "red"}, "size": {"$gt": 2}})", "[0,2]"},
    {R"({"$and": []})", "none"}, {R"({"$or": []})", "[]"},
    {R"({"$or": {"color": {"$eq": "red"}}})", "none"},
    {R"({"$or": [{"color": {"$eq": "blue"}}, {"price": {"$gte": 25}}]})", "[1,3]"},
    {R"({"$not": {"color": {"$eq": "red"}}})", "[1,3,4,5,6]"},
    {R"({"$not": {"color": "red"}})", "none"},
    {R"({"$and": [{"a.b": {"$eq": 1}}, {"never_seen": {"$gt": 0}}]})", "[0]"},
    // Operators intersect; unknown or ill-typed ones are skipped.
    {R"({"price": {"$gt": "10", "$lt": 16}})", "[0,1]"},
    {R"({"color": {"$eq": "red", "$foo": 1}})", "[0,2]"},
    // Equality: "true" and true share one set; numbers by value, beyond 2^53 as doubles.
    {R"({"f": {"$eq": true}})", "[0,1]"}, {R"({"n": {"$eq": null}})", "none"},
    {R"({"color": {"$in": ["red", 5, null]}})", "[0,2]"},
    {R"({"color": {"$nin": ["red", "blue"]}})", "[3,4,5,6]"},
    {R"({"price": {"$ne": 10}})", "[1,2,3,4,5,6]"}, {R"({"w": {"$eq": 5}})", "[3,5,6]"},
    {R"({"big": {"$eq": 9007199254740993}})", "[5,6]"},
    // Values within 1e-9 of a group's key join the group.
    {R"({"v": {"$eq": 1.0000000005}})", "[]"}, {R"({"v": {"$lt": 1.0000000002}})", "[3,5]"},
    // Paths: arrays are not descended, nested members get dotted paths.
    {R"({"tags": {"$in": ["x"]}})", "[1]"}, {R"({"tags": {"$exists": false}})", "[2,3,4,5,6]"},
    {R"({"a": {"b": {"$eq": 1}}})", "none"}, {R"({"nested.deep.x": {"$eq": "y"}})", "[6]"},
    {R"({"color": {"$eq": "red"}} x)", "error: trailing characters"},
};
// clang-format on

TEST(FilterEngineTest, EvaluatesTheFilterLanguage) {
  FilterEngine engine;
  for (uint32_t id = 0; id < std::size(kDocs); ++id) add_doc(engine, id, kDocs[id]);
  for (const auto& [filter, expected] : kFilterCases) {
    const std::string got = outcome(engine, filter);
    if (std::string_view(expected).starts_with("error: ")) {
      EXPECT_TRUE(got.starts_with(expected) && got.find(" at line ") != std::string::npos) << got;
    } else {
      EXPECT_EQ(got, expected) << filter;
    }
  }
}

TEST(FilterEngineTest, FieldFlushesAtThresholdKeepingOlderValues) {
  FilterEngine engine;
  auto put = [&](const char* field, uint32_t id) {
    add_doc(engine, id, concat("{\"", field, "\":", std::to_string(id), "}"));
  };
  auto tree_size = [&] { return engine.tree_pairs("t").value_or(Pairs{}).size(); };
  for (uint32_t id = 0; id < 3; ++id) put("t", id);
  put("u", 100000);
  ASSERT_EQ(outcome(engine, "{}"), "none");
  ASSERT_EQ(tree_size(), 3u);

  for (uint32_t id = 3; id < 3 + PENDING_FLUSH_THRESHOLD - 1; ++id) put("t", id);
  put("u", 100001);
  EXPECT_EQ(engine.pending_count("t"), PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(tree_size(), 3u);

  put("t", 3 + PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(engine.pending_count("t"), 0u);
  EXPECT_EQ(engine.pending_count("u"), 1u);  // only the field at the threshold flushes
  const Pairs pairs = engine.tree_pairs("t").value_or(Pairs{});
  ASSERT_EQ(pairs.size(), 3 + PENDING_FLUSH_THRESHOLD);
  for (uint32_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i], IntervalTree::Pair(i, i));
}

}  // namespace
}  // namespace ostrel
