// Hashing, the seeded generator and the containers: FlatMap, SlotTable and IdMap.
#include "hash.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "flat_map.h"
#include "id_map.h"
#include "slot_table.h"
#include "uniform.h"

namespace ostrel {
namespace {

TEST(UniformGenerator, KnownDraws) {  // the hyperplane seed (the codebook's: quantize_test)
  UniformGenerator gen(12345);
  for (float want : {0.6551513671875f, 0.3048095703125f, 0.674957275390625f, -0.89324951171875f})
    EXPECT_EQ(gen.next(), want);
}

TEST(HashValue, SipHash13WithTrailingFF) {
  EXPECT_EQ(hash_value("abc"), 0xEF09E0F4895A251Dull);
  // Lengths around the 8-byte block boundary must all differ.
  std::set<uint64_t> seen;
  for (size_t n = 0; n < 20; ++n) seen.insert(hash_value(std::string(n, 'x')));
  EXPECT_EQ(seen.size(), 20u);
}

TEST(FlatMap, AgreesWithStdMapUnderRandomOperations) {
  std::mt19937 rng(5);
  FlatMap<uint32_t, uint64_t> map;
  std::map<uint32_t, uint64_t> model;
  for (int step = 0; step < 200000; ++step) {
    uint32_t key = rng() % 5000;
    if (step % 50000 == 0) key = 0xFFFFFFFFu;
    const uint32_t op = rng() % 3;
    if (op == 0) {
      auto [value, inserted] = map.try_emplace(key);
      ASSERT_EQ(inserted, model.count(key) == 0);
      *value = model[key] = step;
    } else if (op == 1) {
      ASSERT_EQ(map.erase(key), model.erase(key) == 1);
    } else {
      const uint64_t* found = map.find(key);
      ASSERT_EQ(found ? std::optional(*found) : std::nullopt,
                model.count(key) ? std::optional(model[key]) : std::nullopt);
    }
    ASSERT_EQ(map.size(), model.size());
  }
  std::map<uint32_t, uint64_t> listed;
  map.for_each([&](uint32_t k, uint64_t v) { listed[k] = v; });
  EXPECT_EQ(listed, model);
}

TEST(SlotTable, AgreesWithMapModelAcrossPages) {
  for (size_t row_len : {1, 2, 768}) {
    SlotTable<float> table(row_len);
    std::map<uint32_t, float> model;
    std::mt19937 rng(row_len);
    uint64_t highest_plus_one = 0;
    for (int i = 0; i < 3000; ++i) {
      uint32_t id = (i % 3 == 0) ? rng() : rng() % 100000;
      if (rng() % 5 == 0) {
        table.erase(id);
        model.erase(id);
        continue;
      }
      auto row = table.emplace(id);
      ASSERT_TRUE(row.ok());
      (*row)[row_len - 1] = static_cast<float>(i);
      model[id] = static_cast<float>(i);
      highest_plus_one = std::max<uint64_t>(highest_plus_one, uint64_t{id} + 1);
    }
    EXPECT_EQ(table.slot_count(), highest_plus_one);
    EXPECT_EQ(table.size(), model.size());
    std::vector<std::pair<const uint32_t, float>> listed;  // in ascending id order
    table.for_each(
        [&](uint32_t id, const float* row) { listed.emplace_back(id, row[row_len - 1]); });
    EXPECT_EQ(listed, decltype(listed)(model.begin(), model.end()));
    for (auto [id, value] : model) ASSERT_EQ(table.find(id)[row_len - 1], value);
  }
}

// Against a std::map model, with ids from dense runs (which keep the map an
// identity until a gap), random 32-bit values and the extremes; re-adds
// must find their rows again.
TEST(IdMap, AgreesWithMapModel) {
  std::mt19937 rng(3);
  const std::vector<std::vector<uint32_t>> scenarios = {
      {0, 1, 2, 1, 0, 3},               // dense, re-adds: stays the identity
      {0, 1, 2, 4294967295u, 3, 0, 5},  // a gap and the largest id
      {7, 0, 4294967295u, 8, 7},        // starts away from 0
  };
  for (std::vector<uint32_t> ids : scenarios) {
    for (int i = 0; i < 3000; ++i) ids.push_back(i % 3 ? rng() : rng() % 5000);
    IdMap map;
    std::map<uint32_t, uint32_t> model;  // id -> row
    bool identity = true;
    for (uint32_t id : ids) {
      auto [it, fresh] = model.try_emplace(id, static_cast<uint32_t>(model.size()));
      identity = identity && it->second == id;
      ASSERT_EQ(map.assign(id), it->second);
      ASSERT_EQ(map.identity(), identity);
    }
    ASSERT_EQ(map.size(), model.size());
    for (auto [id, row] : model) {
      ASSERT_EQ(map.row_of(id), row);
      ASSERT_EQ(map.id_of(row), id);
    }
    for (uint32_t probe : {1u << 31, 4294967294u, 5001u}) {
      ASSERT_EQ(map.row_of(probe).has_value(), model.contains(probe));
    }
  }
}

}  // namespace
}  // namespace ostrel
