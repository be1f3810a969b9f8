#include "slot_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace ostrel {
namespace {

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
    auto it = model.begin();
    table.for_each([&](uint32_t id, const float* row) {
      ASSERT_NE(it, model.end());
      EXPECT_EQ(id, it->first);
      EXPECT_EQ(row[row_len - 1], it->second);
      ++it;
    });
    EXPECT_EQ(it, model.end());
    for (auto [id, value] : model) ASSERT_EQ(table.find(id)[row_len - 1], value);
  }
}

TEST(SlotTable, NewRowsAreZeroAndHugeIdsAreCheap) {
  SlotTable<float> table(768);
  auto row = table.emplace(4000000000u);
  ASSERT_TRUE(row.ok());
  for (size_t i = 0; i < 768; ++i) ASSERT_EQ((*row)[i], 0.0f);
  EXPECT_EQ(table.slot_count(), 4000000001ull);
  EXPECT_LT(table.memory_bytes(), size_t{1} << 20);
  EXPECT_EQ(table.find(3999999999u), nullptr);
  ASSERT_TRUE(table.emplace(0xFFFFFFFFu).ok());
  EXPECT_EQ(table.slot_count(), 0x100000000ull);
  table.clear();
  EXPECT_EQ(table.slot_count(), 0u);
  EXPECT_EQ(table.find(4000000000u), nullptr);
}

}  // namespace
}  // namespace ostrel
