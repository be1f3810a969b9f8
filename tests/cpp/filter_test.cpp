// The filter language is checked against a model by the Python differential
// test, and remove_all against removal id by id by the index_fuzz target;
// no field there reaches the pending threshold this test is about.
#include "filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

using Pairs = std::vector<IntervalTree::Pair>;

TEST(FilterEngineTest, FieldFlushesAtThresholdKeepingOlderValues) {
  FilterEngine engine;
  constexpr const char* kField = "temperature";  // longer than a hashed word
  auto put = [&](const char* field, uint32_t id) {
    Result<json::Value> v =
        json::parse(std::string("{\"") + field + "\":" + std::to_string(id) + "}");
    ASSERT_TRUE(v.ok());
    engine.add_document(id);
    engine.index_object(v->as_object(), "", id);
  };
  auto tree_size = [&] { return engine.tree_pairs(kField).value_or(Pairs{}).size(); };
  for (uint32_t id = 0; id < 3; ++id) put(kField, id);
  put("u", 100000);
  Result<ClauseResult> flushed = engine.apply_filter("{}");  // every field flushes
  ASSERT_TRUE(flushed.ok() && !flushed.value());
  ASSERT_EQ(tree_size(), 3u);

  for (uint32_t id = 3; id < 3 + Options::PENDING_FLUSH_THRESHOLD - 1; ++id) put(kField, id);
  put("u", 100001);
  EXPECT_EQ(engine.pending_count(kField), Options::PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(tree_size(), 3u);

  put(kField, 3 + Options::PENDING_FLUSH_THRESHOLD - 1);
  EXPECT_EQ(engine.pending_count(kField), 0u);
  EXPECT_EQ(engine.pending_count("u"), 1u);  // only the field at the threshold flushes
  const Pairs pairs = engine.tree_pairs(kField).value_or(Pairs{});
  ASSERT_EQ(pairs.size(), 3 + Options::PENDING_FLUSH_THRESHOLD);
  for (uint32_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(pairs[i], IntervalTree::Pair(i, i));
}

}  // namespace
}  // namespace ostrel
