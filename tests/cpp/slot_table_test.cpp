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
    std::vector<std::pair<const uint32_t, float>> listed;  // in ascending id order
    table.for_each(
        [&](uint32_t id, const float* row) { listed.emplace_back(id, row[row_len - 1]); });
    EXPECT_EQ(listed, decltype(listed)(model.begin(), model.end()));
    for (auto [id, value] : model) ASSERT_EQ(table.find(id)[row_len - 1], value);
  }
}

TEST(SlotTable, NewRowsAreZeroAndHugeIdsAreCheap) {
  SlotTable<float> table(768);
  auto row = table.emplace(4000000000u);
  ASSERT_TRUE(row.ok());
  EXPECT_EQ(std::vector<float>(*row, *row + 768), std::vector<float>(768, 0.0f));
  ASSERT_TRUE(table.emplace(0xFFFFFFFFu).ok());
  EXPECT_EQ(table.slot_count(), 0x100000000ull);
  EXPECT_LT(table.memory_bytes(), size_t{1} << 20);
  EXPECT_EQ(table.find(3999999999u), nullptr);
  table.clear();
  EXPECT_EQ(table.slot_count(), 0u);
  EXPECT_EQ(table.find(4000000000u), nullptr);
}

}  // namespace
}  // namespace ostrel
