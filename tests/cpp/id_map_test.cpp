#include "id_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace ostrel {
namespace {

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
