#include "filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using Pairs = std::vector<IntervalTree::Pair>;

json::Object parse_object(std::string_view text) {
  Result<json::Value> v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text << ": " << v.status().message();
  if (!v.ok() || !v->is_object()) return {};
  return std::move(v->as_object());
}

void add_doc(FilterEngine& engine, uint32_t id, std::string_view metadata) {
  engine.add_document(id);
  engine.index_object(parse_object(metadata), "", id);
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

struct FilterCase {
  const char* filter;
  const char* expected;  // "none", "[ids]", or "error: " followed by a message prefix
};

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
const FilterCase kFilterCases[] = {
    // Node shapes and the smallest-key rule.
    {R"({"color": "red"})", "none"}, {R"({"color": {"$eq": "red"}, "size": {"$gt": 2}})", "[0,2]"},
    {R"({"size": {"$eq": 1}, "color": {"$eq": "blue"}})", "[1]"}, {R"({"color": {}})", "none"},
    // Logical nodes.
    {R"({"$and": []})", "none"}, {R"({"$or": []})", "[]"},
    {R"({"$or": {"color": {"$eq": "red"}}})", "none"}, {R"({"$or": [{"color": "red"}]})", "[]"},
    {R"({"$or": [{"color": {"$eq": "blue"}}, {"price": {"$gte": 25}}]})", "[1,3]"},
    {R"({"$not": {"color": {"$eq": "red"}}})", "[1,3,4,5,6]"},
    {R"({"$not": {"color": "red"}})", "none"}, {R"({"$not": {"$or": []}})", "[0,1,2,3,4,5,6]"},
    {R"({"$and": [{"a.b": {"$eq": 1}}, {"never_seen": {"$gt": 0}}]})", "[0]"},
    // Operator objects: all operators intersect; unknown or ill-typed ones are skipped.
    {R"({"price": {"$gt": 10, "$lte": 20}})", "[1,2]"},
    {R"({"price": {"$gt": "10", "$lt": 16}})", "[0,1]"},
    {R"({"color": {"$eq": "red", "$foo": 1}})", "[0,2]"},
    // Equality on strings and booleans; "true" and true share one set.
    {R"({"f": {"$eq": true}})", "[0,1]"}, {R"({"f": {"$eq": false}})", "[2]"},
    {R"({"color": {"$in": ["red", 5, null]}})", "[0,2]"},
    {R"({"color": {"$nin": ["red", "blue"]}})", "[3,4,5,6]"}, {R"({"n": {"$eq": null}})", "none"},
    // Numeric equality and ranges.
    {R"({"price": {"$eq": 10}})", "[0]"}, {R"({"price": {"$eq": 15.5}})", "[1]"},
    {R"({"price": {"$ne": 10}})", "[1,2,3,4,5,6]"}, {R"({"w": {"$eq": 5}})", "[3,5,6]"},
    {R"({"big": {"$eq": 9007199254740993}})", "[5,6]"},
    {R"({"neg": {"$gt": -3.5, "$lt": 0}})", "[2]"}, {R"({"v": {"$eq": 1.0}})", "[3,5]"},
    {R"({"v": {"$eq": 1.0000000005}})", "[]"}, {R"({"v": {"$lt": 1.0000000002}})", "[3,5]"},
    // Paths: arrays are not descended, nested members get dotted paths.
    {R"({"tags": {"$in": ["x"]}})", "[1]"}, {R"({"tags": {"$exists": true}})", "[0,1]"},
    {R"({"a": {"b": {"$eq": 1}}})", "none"}, {R"({"a.b": {"$eq": 1}})", "[0]"},
    {R"({"nested.deep.x": {"$eq": "y"}})", "[6]"},
    // Texts that are not JSON.
    {R"({"color": {"$eq": "red"}} x)", "error: trailing characters"},
    {R"({"color":)", "error: EOF while parsing"},
};
// clang-format on

class FilterLanguageTest : public ::testing::TestWithParam<FilterCase> {
 protected:
  static void SetUpTestSuite() {
    engine_ = new FilterEngine();
    for (uint32_t id = 0; id < std::size(kDocs); ++id) add_doc(*engine_, id, kDocs[id]);
  }
  static void TearDownTestSuite() { delete engine_; }
  static FilterEngine* engine_;
};
FilterEngine* FilterLanguageTest::engine_ = nullptr;

TEST_P(FilterLanguageTest, Evaluates) {
  const FilterCase& c = GetParam();
  const std::string got = outcome(*engine_, c.filter);
  if (std::string_view(c.expected).starts_with("error: ")) {
    EXPECT_TRUE(got.starts_with(c.expected)) << c.filter << " gave " << got;
    EXPECT_NE(got.find(" at line "), std::string::npos) << got;
  } else {
    EXPECT_EQ(got, c.expected) << c.filter;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FilterLanguageTest, ::testing::ValuesIn(kFilterCases));

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

  for (uint32_t id = 3; id < 3 + Options::PENDING_FLUSH_THRESHOLD - 1; ++id) put("t", id);
  put("u", 100001);
  EXPECT_EQ(engine.pending_count("t"), Options::PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(tree_size(), 3u);

  put("t", 3 + Options::PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(engine.pending_count("t"), 0u);
  EXPECT_EQ(engine.pending_count("u"), 1u);  // only the field at the threshold flushes
  const Pairs pairs = engine.tree_pairs("t").value_or(Pairs{});
  ASSERT_EQ(pairs.size(), 3 + Options::PENDING_FLUSH_THRESHOLD);
  for (uint32_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i], IntervalTree::Pair(i, i));
}

// remove_all(S) must leave every structure as removing each id of S would.
TEST(FilterEngineTest, RemoveAllEqualsPerIdRemoval) {
  std::mt19937 rng(20240611);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* kPrices[] = {"1", "2.5", "2.5000000004", "3", "-1", "10", "1e3"};
  auto random_doc = [&]() {
    std::string doc = "{";
    auto field = [&doc](const std::string& member) { doc += (doc.size() > 1 ? "," : "") + member; };
    if (pick(4)) field(concat("\"cat\":\"c", std::to_string(pick(5)), "\""));
    if (pick(3)) field(std::string("\"price\":") + kPrices[pick(7)]);
    if (pick(2)) field(concat("\"year\":", std::to_string(2000 + pick(30))));
    if (pick(2)) field(pick(2) ? "\"flag\":true" : "\"flag\":\"true\"");
    if (!pick(4)) field(concat("\"n\":{\"v\":", std::to_string(pick(4)), ",\"s\":null}"));
    if (!pick(5)) field("\"cat\":[1,2]");  // duplicate key: the last value wins
    return doc + "}";
  };

  FilterEngine per_id, in_bulk;
  auto add_both = [&](uint32_t id) {
    const std::string doc = random_doc();
    add_doc(per_id, id, doc);
    add_doc(in_bulk, id, doc);
  };
  for (uint32_t id = 0; id < 400; ++id) {
    add_both(id);
    if (!pick(60)) {  // some numbers reach the trees, others stay pending
      ASSERT_EQ(outcome(per_id, "{}"), "none");
      ASSERT_EQ(outcome(in_bulk, "{}"), "none");
    }
  }
  Roaring removed;
  for (uint32_t id = 0; id < 400; ++id) {
    if (!pick(3)) removed.add(id);
  }
  for (uint32_t id : removed) per_id.remove_document(id);
  in_bulk.remove_all(removed);
  for (uint32_t id = 400; id < 420; ++id) add_both(id);  // later additions merge the same way

  std::vector<std::string> filters = {R"({"$not": {"$or": []}})"};
  for (const char* f : {"price", "year", "n.v", "cat", "flag", "n.s", "n"}) {
    const std::string q = concat("{\"", f, "\": {");
    for (const char* op : {"\"$lt\"", "\"$lte\"", "\"$gt\"", "\"$gte\"", "\"$eq\"", "\"$ne\""}) {
      for (const char* v : {"2.5", "3", "2010", "1", "-1", "\"c1\"", "true", "\"true\"", "\"c9\""})
        filters.push_back(concat(q, op, ": ", v, "}}"));
    }
    for (const char* rest :
         {"\"$in\": [\"c0\", 1, 2.5, true]}}", "\"$nin\": [\"c0\", 1, 2.5, true]}}",
          "\"$exists\": true}}", "\"$exists\": false}}"})
      filters.push_back(q + rest);
  }
  for (const std::string& f : filters) {
    Result<ClauseResult> a = per_id.apply_filter(f);
    Result<ClauseResult> b = in_bulk.apply_filter(f);
    ASSERT_TRUE(a.ok() && b.ok()) << f;
    ASSERT_EQ(a->has_value(), b->has_value()) << f;
    if (!a->has_value()) continue;
    EXPECT_EQ(ids_text(**a), ids_text(**b)) << f;
    EXPECT_FALSE((**a).intersect(removed)) << f << " still matches a removed id";
  }
  for (const char* f : {"price", "year", "n.v"})
    EXPECT_EQ(per_id.tree_pairs(f), in_bulk.tree_pairs(f)) << f;
}

}  // namespace
}  // namespace ostrel
