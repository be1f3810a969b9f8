#include "lsh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <set>

#include "uniform.h"

namespace ostrel {
namespace {

// The hash written out: bit h is set when the vector's dot product with
// hyperplane h, drawn component by component from the seeded generator, is
// positive (the index scales each plane to unit length, which changes no sign).
uint64_t reference_hash(size_t dim, std::span<const float> v) {
  UniformGenerator gen(12345);
  uint64_t code = 0;
  for (size_t h = 0; h < 32; ++h) {
    float dot = 0.0f;
    for (size_t j = 0; j < dim; ++j) {
      const float x = gen.next();
      if (j < v.size()) dot += v[j] * x;
    }
    if (dot > 0.0f) code |= uint64_t{1} << h;
  }
  return code;
}

TEST(LSH, HashesFollowTheSeededHyperplanes) {
  // dim 1: hyperplane h is the sign of draw h (0.655, 0.305, 0.675, -0.893, ...).
  EXPECT_EQ(LSH(1).hash_vector(std::vector<float>{1.0f}) & 0xF, 0b0111u);
  EXPECT_EQ(LSH(0).hash_vector(std::vector<float>{1, 2, 3}), 0u);
  EXPECT_EQ(LSH(8).hash_vector(std::vector<float>(8, 0.0f)), 0u);
  std::mt19937 rng(1);
  std::normal_distribution<float> g;
  for (size_t dim : {3, 128, 768}) {
    LSH lsh(dim);
    for (int i = 0; i < 50; ++i) {
      std::vector<float> v(dim + (i % 3) - 1);  // also shorter and longer vectors
      for (float& x : v) x = g(rng);
      ASSERT_EQ(lsh.hash_vector(v), reference_hash(dim, v)) << dim;
    }
  }
}

// The candidate rule written out: the query's own bucket, then the buckets
// one flipped low bit away, then, when fewer than limit / 2 ids were found,
// the buckets of the 20 nearest codes ever filed (emptied ones included);
// each id once, in the order first found, at most `limit` of them.
std::vector<uint32_t> model_query(const std::map<uint32_t, std::vector<uint32_t>>& buckets,
                                  const std::vector<uint32_t>& nearest, uint32_t code,
                                  uint64_t limit) {
  std::vector<uint32_t> out;
  std::set<uint32_t> seen;
  auto offer = [&](uint32_t c) {
    auto it = buckets.find(c);
    for (size_t i = 0; it != buckets.end() && i < it->second.size(); ++i) {
      if (seen.insert(it->second[i]).second) out.push_back(it->second[i]);
      if (out.size() >= limit) return false;
    }
    return true;
  };
  if (buckets.empty() || !offer(code)) return out;
  for (uint32_t bit = 0; bit < 16; ++bit)
    if (!offer(code ^ (1u << bit))) return out;
  if (out.size() >= limit / 2) return out;
  for (uint32_t c : nearest)
    if (!offer(c)) break;
  return out;
}

TEST(LSH, CandidatesEqualTheModel) {
  std::mt19937 rng(4);
  // Small code indexes are swept for the nearest codes, large ones searched by radius.
  for (uint32_t n : {0, 5, 40, 300, 3000, 60000}) {
    // Codes around a centre (none to five flipped bits) and a quarter uniform;
    // some ids filed twice, some from 2^31 on (never inline in a bucket).
    LSH lsh(32);
    std::map<uint32_t, std::vector<uint32_t>> buckets;
    const uint32_t centre = rng();
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t code = i % 4 == 1 ? uint32_t(rng()) : centre, id = i % 7 == 3 ? i / 2 : i;
      if (i % 11 == 6) id = 0xFFFFFFFFu - i % 3;
      for (int flips = rng() % 6; flips > 0; --flips) code ^= 1u << (rng() % 32);
      ASSERT_TRUE(lsh.insert_code(code, id).ok());
      buckets[code].push_back(id);
    }
    // A third of the ids removed, and a few more.
    Roaring gone;
    for (uint32_t id = 0; id < std::min(n, 200u); id += 5) gone.add(id);
    for (uint32_t id = 1; id < n; id += 3) gone.add(id);
    gone.add(0xFFFFFFFEu);
    lsh.remove_all(gone);
    std::vector<uint32_t> codes;
    for (auto& [code, ids] : buckets) {
      std::erase_if(ids, [&](uint32_t id) { return gone.contains(id); });
      codes.push_back(code);
    }
    for (int q = 0; q < 30; ++q) {
      const uint32_t query =
          q % 3 == 0 ? uint32_t(rng()) : centre ^ (q % 3 == 1 ? 0 : 1u << (rng() % 32));
      std::vector<uint32_t> nearest = codes;  // the 20 nearest the query, ties by code
      const size_t count = std::min<size_t>(20, codes.size());
      std::partial_sort(
          nearest.begin(), nearest.begin() + count, nearest.end(), [&](auto a, auto b) {
            return std::pair(std::popcount(a ^ query), a) < std::pair(std::popcount(b ^ query), b);
          });
      nearest.resize(count);
      for (uint64_t limit : {1, 2, 10, 37, 200, 1000, 5000}) {
        const std::vector<uint32_t> all = model_query(buckets, nearest, query, limit);
        ASSERT_EQ(lsh.query_code(query, limit), all) << n << " " << q << " " << limit;
        // Told how many it takes, the index may stop short only below that.
        for (uint64_t wanted : {uint64_t{20}, limit / 4, limit}) {
          const std::vector<uint32_t> some = lsh.query_code(query, limit, wanted);
          ASSERT_TRUE(some == all || (some.size() < wanted && all.size() < wanted));
        }
      }
    }
  }
  // Vectors are filed under their hash.
  LSH lsh(3);
  ASSERT_TRUE(lsh.insert(std::vector<float>{1, 2, 3}, 7).ok());
  EXPECT_EQ(lsh.query_candidates(std::vector<float>{2, 4, 6}, 1000), std::vector<uint32_t>{7});
}

}  // namespace
}  // namespace ostrel
