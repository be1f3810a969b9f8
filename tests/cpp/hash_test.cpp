#include "hash.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "flat_map.h"
#include "uniform.h"

namespace ostrel {
namespace {

TEST(UniformGenerator, KnownDraws) {  // the codebook and hyperplane seeds
  for (auto [seed, draws] :
       {std::pair{54321u,
                  std::vector<float>{0.624237060546875f, 0.47540283203125f, -0.255035400390625f}},
        std::pair{12345u, std::vector<float>{0.6551513671875f, 0.3048095703125f}}}) {
    UniformGenerator gen(seed);
    for (float expected : draws) EXPECT_EQ(gen.next(), expected) << seed;
  }
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
    switch (rng() % 3) {
      case 0: {
        auto [value, inserted] = map.try_emplace(key);
        ASSERT_EQ(inserted, model.count(key) == 0);
        *value = step;
        model[key] = step;
        break;
      }
      case 1:
        ASSERT_EQ(map.erase(key), model.erase(key) == 1);
        break;
      default: {
        const uint64_t* found = map.find(key);
        auto it = model.find(key);
        ASSERT_EQ(found != nullptr, it != model.end());
        ASSERT_TRUE(!found || *found == it->second) << key;
      }
    }
    ASSERT_EQ(map.size(), model.size());
  }
  std::map<uint32_t, uint64_t> listed;
  map.for_each([&](uint32_t k, uint64_t v) { listed[k] = v; });
  EXPECT_EQ(listed, model);
}

}  // namespace
}  // namespace ostrel
