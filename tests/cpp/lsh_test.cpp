#include "lsh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "uniform.h"

namespace ostrel {
namespace {

// The hyperplanes as the index defines them, row by row.
std::vector<std::vector<float>> hyperplanes(size_t dim) {
  UniformGenerator gen(12345);
  std::vector<std::vector<float>> planes(32, std::vector<float>(dim));
  for (auto& p : planes) {
    float s = 0.0f;
    for (float& x : p) x = gen.next(), s += x * x;
    for (float& x : p) x /= s > 0.0f ? std::sqrt(s) : 1.0f;
  }
  return planes;
}

uint64_t reference_hash(const std::vector<std::vector<float>>& planes, std::span<const float> v) {
  uint64_t code = 0;
  for (size_t h = 0; h < 32; ++h) {
    float dot = 0.0f;
    for (size_t j = 0; j < std::min(v.size(), planes[h].size()); ++j) {
      float product = v[j] * planes[h][j];
      dot = dot + product;
    }
    if (dot > 0.0f) code |= uint64_t{1} << h;
  }
  return code;
}

// A 32-d vector whose dot with hyperplane h is +1 or -1 as bit h of `code`
// says (solves planes * v = signs by Gaussian elimination).
std::vector<float> vector_with_code(uint64_t code) {
  auto planes = hyperplanes(32);
  double m[32][33];
  for (int r = 0; r < 32; ++r) {
    for (int c = 0; c < 32; ++c) m[r][c] = planes[r][c];
    m[r][32] = (code >> r) & 1 ? 1.0 : -1.0;
  }
  for (int col = 0; col < 32; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 32; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    std::swap(m[col], m[pivot]);
    for (int r = 0; r < 32; ++r) {
      if (r == col) continue;
      double f = m[r][col] / m[col][col];
      for (int c = col; c < 33; ++c) m[r][c] -= f * m[col][c];
    }
  }
  std::vector<float> v(32);
  for (int r = 0; r < 32; ++r) v[r] = static_cast<float>(m[r][32] / m[r][r]);
  return v;
}

std::set<uint32_t> as_set(const std::vector<uint32_t>& ids) { return {ids.begin(), ids.end()}; }

void put(LSH& lsh, std::span<const float> v, uint32_t id) { ASSERT_TRUE(lsh.insert(v, id).ok()); }

TEST(LSH, HashesFollowTheSeededHyperplanes) {
  // dim 1: hyperplane h is the sign of draw h (0.655, 0.305, 0.675, -0.893, ...).
  EXPECT_EQ(LSH(1).hash_vector(std::vector<float>{1.0f}) & 0xF, 0b0111u);
  EXPECT_EQ(LSH(0).hash_vector(std::vector<float>{1, 2, 3}), 0u);
  EXPECT_EQ(LSH(8).hash_vector(std::vector<float>(8, 0.0f)), 0u);
  std::mt19937 rng(1);
  std::normal_distribution<float> g;
  for (size_t dim : {3, 128, 768}) {
    auto planes = hyperplanes(dim);
    LSH a(dim), b(dim);
    for (int i = 0; i < 50; ++i) {
      std::vector<float> v(dim + (i % 3) - 1);  // also shorter and longer vectors
      for (float& x : v) x = g(rng);
      ASSERT_EQ(a.hash_vector(v), reference_hash(planes, v)) << dim;
      ASSERT_EQ(a.hash_vector(v), b.hash_vector(v));
    }
  }
  for (uint64_t code : {0x0ull, 0xDEADBEEFull, 0xFFFFFFFFull}) {
    EXPECT_EQ(LSH(32).hash_vector(vector_with_code(code)), code);
  }
}

TEST(LSH, ProbesReachOneFlippedLowBitOnly) {
  LSH lsh(32);
  const uint64_t code = 0x12345678;
  put(lsh, vector_with_code(code), 100);
  for (uint32_t bit = 0; bit < 16; ++bit) put(lsh, vector_with_code(code ^ (1ull << bit)), bit);
  put(lsh, vector_with_code(code ^ (1ull << 16)), 200);
  put(lsh, vector_with_code(code ^ 0b11), 201);
  auto query = vector_with_code(code);
  // 17 found, limit / 2 = 17: no scan.
  std::set<uint32_t> near = {100};
  for (uint32_t bit = 0; bit < 16; ++bit) near.insert(bit);
  EXPECT_EQ(as_set(lsh.query_candidates(query, 34)), near);
  // limit / 2 = 18: the scan visits every bucket (fewer than 20 exist).
  near.insert({200, 201});
  EXPECT_EQ(as_set(lsh.query_candidates(query, 36)), near);
  EXPECT_TRUE(LSH(32).query_candidates(query, 1000).empty());
}

TEST(LSH, ScanRunsBelowHalfTheLimitAndStopRuleCaps) {
  const uint64_t code = 0xF0F0F0F0;
  auto query = vector_with_code(code);
  for (uint32_t in_bucket : {499u, 500u}) {
    LSH lsh(32);
    for (uint32_t id = 0; id < in_bucket; ++id) put(lsh, query, id);
    put(lsh, vector_with_code(code ^ (1ull << 20)), 9999);
    auto found = lsh.query_candidates(query, 1000);
    EXPECT_EQ(found.size(), 500u);  // 499 + the far id, or 500 without it
    EXPECT_EQ(as_set(found).count(9999), in_bucket == 499 ? 1u : 0u);
  }
  LSH lsh(32);
  for (uint32_t id = 0; id < 1500; ++id) put(lsh, query, id);
  auto found = lsh.query_candidates(query, 1000);
  ASSERT_EQ(found.size(), 1000u);
  for (uint32_t id = 0; id < 1000; ++id) ASSERT_EQ(found[id], id);  // first filed first
  // The scan visits 20 buckets at most.
  LSH far(32);
  for (uint32_t b = 0; b < 25; ++b) put(far, vector_with_code(code ^ (0b11ull << (b + 2))), b);
  EXPECT_EQ(far.query_candidates(query, 1000).size(), 20u);
}

// The entries a scan should visit: by distance to the query, then by code.
std::vector<uint32_t> model_nearest(const std::vector<uint32_t>& codes, uint32_t query,
                                    size_t count) {
  std::vector<uint32_t> sorted = codes;
  count = std::min(count, sorted.size());
  std::partial_sort(sorted.begin(), sorted.begin() + count, sorted.end(),
                    [&](uint32_t a, uint32_t b) {
                      const int da = std::popcount(a ^ query), db = std::popcount(b ^ query);
                      return da != db ? da < db : a < b;
                    });
  sorted.resize(count);
  return sorted;
}

TEST(CodeIndex, NearestEqualsTheSortedModel) {
  std::mt19937 rng(7);
  // Clustered codes (a few centres with up to 6 flipped bits), plus uniform
  // ones: small indexes are swept, large ones searched by radius.
  for (size_t n : {1, 19, 300, 5000, 60000}) {
    CodeIndex index;
    std::vector<uint32_t> codes;
    std::set<uint32_t> seen;
    const uint32_t centres[3] = {uint32_t(rng()), uint32_t(rng()), uint32_t(rng())};
    while (codes.size() < n) {
      uint32_t c = rng();
      if (rng() % 4 != 0) {
        c = centres[rng() % 3];
        for (int flips = rng() % 7; flips > 0; --flips) c ^= uint32_t{1} << (rng() % 32);
      }
      if (!seen.insert(c).second) continue;
      index.add(c);
      codes.push_back(c);
    }
    for (int q = 0; q < 40; ++q) {
      uint32_t query = q % 2 ? uint32_t(rng()) : centres[q % 3] ^ (uint32_t{1} << (q % 32));
      for (size_t count : {size_t{1}, size_t{20}}) {
        std::vector<uint32_t> got;
        index.nearest(query, count, &got);
        ASSERT_EQ(got, model_nearest(codes, query, count)) << n << " " << q;
      }
    }
  }
}

TEST(LSH, ScanVisitsTheTwentyNearestEntriesCountingEmptiedOnes) {
  const uint32_t query = 0x0F0F0000;  // no entry at the query's code or its probes
  LSH lsh(32);
  std::vector<uint32_t> codes;
  std::map<uint32_t, uint32_t> id_of;  // code -> id filed under it
  auto file = [&](uint32_t code) {
    const auto id = static_cast<uint32_t>(codes.size());
    ASSERT_TRUE(lsh.insert_code(code, id).ok());
    codes.push_back(code);
    id_of[code] = id;
  };
  // 12 entries at distance 2 (bits 16 up, so no probe reaches them), 15 at
  // distance 3, 30 far away; some of the near ones emptied afterwards.
  for (uint32_t b = 16; b < 28; ++b) file(query ^ (1u << 31) ^ (1u << b));
  for (uint32_t b = 0; b < 15; ++b) file(query ^ (3u << 29) ^ (1u << b));
  for (uint32_t i = 0; i < 30; ++i) file(~query ^ (1u << i));
  Roaring emptied;
  for (uint32_t i = 0; i < codes.size(); i += 5) emptied.add(id_of[codes[i]]);
  lsh.remove_all(emptied);
  std::set<uint32_t> want;
  for (uint32_t code : model_nearest(codes, query, 20)) {
    if (!emptied.contains(id_of[code])) want.insert(id_of[code]);
  }
  EXPECT_EQ(as_set(lsh.query_code(query, 1000)), want);
  // The exact bucket and a probe are visited first and again by the scan.
  ASSERT_TRUE(lsh.insert_code(query, 500).ok());
  ASSERT_TRUE(lsh.insert_code(query ^ 1u, 501).ok());
  codes.push_back(query);
  codes.push_back(query ^ 1u);
  id_of[query] = 500;
  id_of[query ^ 1u] = 501;
  want.clear();
  for (uint32_t code : model_nearest(codes, query, 20)) {
    if (!emptied.contains(id_of[code])) want.insert(id_of[code]);
  }
  EXPECT_EQ(as_set(lsh.query_code(query, 1000)), want);
  EXPECT_EQ(want.count(500) + want.count(501), 2u);
}

TEST(LSH, RemoveAllEqualsRemovingEachId) {
  std::mt19937 rng(4);
  std::normal_distribution<float> g;
  LSH one_pass(16), per_id(16);
  std::vector<std::vector<float>> vectors;
  for (uint32_t id = 0; id < 3000; ++id) {
    std::vector<float>& v = vectors.emplace_back(16);
    for (float& x : v) x = g(rng);
    put(one_pass, v, id % 2000);  // some ids filed twice
    put(per_id, v, id % 2000);
  }
  Roaring gone;
  for (uint32_t id = 0; id < 2000; id += 3) gone.add(id);
  one_pass.remove_all(gone);
  for (uint32_t id : gone) per_id.remove(id);
  for (int q = 0; q < 50; ++q) {
    auto a = one_pass.query_candidates(vectors[q * 37], 1000);
    ASSERT_EQ(a, per_id.query_candidates(vectors[q * 37], 1000));
    for (uint32_t id : a) ASSERT_FALSE(gone.contains(id));
  }
}

}  // namespace
}  // namespace ostrel
