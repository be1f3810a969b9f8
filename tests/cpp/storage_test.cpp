#include "storage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <string>

namespace ostrel {
namespace {

using ::testing::internal::CaptureStdout;  // the activation notice goes to stdout
using ::testing::internal::GetCapturedStdout;

std::vector<float> unit_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  float norm = 0;
  for (float& x : v) x = g(rng), norm += x * x;
  for (float& x : v) x /= std::sqrt(norm);
  return v;
}

// Every pair score() hands out, pieces in order.
std::vector<ScoredPair> score_all(const VectorStorage& storage, std::span<const float> query,
                                  std::span<const uint32_t> rows, ThreadPool* pool = nullptr) {
  std::vector<std::vector<ScoredPair>> pieces(VectorStorage::pieces(rows.size(), pool));
  storage.score(query, rows, pool, [&](size_t p, std::span<const ScoredPair> block) {
    pieces[p].insert(pieces[p].end(), block.begin(), block.end());
  });
  std::vector<ScoredPair> all;
  for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

TEST(VectorStorage, ExactScoringPaths) {
  VectorStorage storage;
  ASSERT_TRUE(storage.store(1, std::vector<float>{1, 2, 3, 4}).ok());
  ASSERT_TRUE(storage.store(3, std::vector<float>{0, 0, 0, 0}).ok());
  using Q = std::vector<float>;
  struct Case {
    Q query;
    uint32_t id;
    std::optional<float> score;
  } cases[] = {
      {{1, 2}, 1, 5.0f / (std::sqrt(5.0f) * std::sqrt(5.0f))},  // common prefix
      {{}, 1, 0.0f},
      {{1, 2, 3, 4, 5}, 1, 1.0f},  // longer query: cut to the stored length
      {{0, 0, 0, 0}, 3, 1.0f},     // both zero: distance 0
      {{1, 0, 0, 0}, 3, 0.0f},     // one zero: distance 1
      {{1, 2}, 3, 0.0f},           // prefix with a zero norm
      {{1, 2, 3, 4}, 2, std::nullopt},
      {{1, 2, 3, 4}, 4000000000u, std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = storage.compute_similarity(c.query, c.id);
    ASSERT_EQ(got.has_value(), c.score.has_value()) << c.id;
    if (got) {
      EXPECT_NEAR(*got, *c.score, 1e-6) << c.id << " len " << c.query.size();
    }
  }
  ASSERT_TRUE(storage.store(1, std::vector<float>{0, 0, 0, 1}).ok());  // the second one counts
  EXPECT_NEAR(*storage.compute_similarity(std::vector<float>{0, 0, 0, 1}, 1), 1.0f, 1e-6);
}

// Activation counts distinct rows holding a vector, however sparse the
// rows are; a re-stored row counts once.
TEST(VectorStorage, ThresholdCountsStoredVectorsAndActivatesOnce) {
  VectorStorage storage;
  CaptureStdout();
  ASSERT_TRUE(storage.store(4000000000u, std::vector<float>(16, 0.5f)).ok());
  for (uint32_t row = 0; row < 4998; ++row) {
    ASSERT_TRUE(storage.store(row * 7919, std::vector<float>(16, 0.25f)).ok());
  }
  ASSERT_TRUE(storage.store(7919, std::vector<float>(16, 0.75f)).ok());  // again: still 4999
  ASSERT_TRUE(storage.store(99, {}).ok());                                  // the 5000th
  EXPECT_FALSE(storage.quantized());
  EXPECT_EQ(GetCapturedStdout(), "");
  CaptureStdout();
  ASSERT_TRUE(storage.store(98, std::vector<float>(16, 0.25f)).ok());
  EXPECT_TRUE(storage.quantized());
  ASSERT_TRUE(storage.store(97, std::vector<float>(16, 0.25f)).ok());
  EXPECT_EQ(GetCapturedStdout(), "Activating quantization at 5000 vectors...\n");
  EXPECT_EQ(storage.stored_rows().cardinality(), 5002u);
  std::vector<uint8_t> empty_code(64, 0);
  EXPECT_EQ(storage.code_of(99), empty_code);
  EXPECT_EQ(storage.code_of(4000000000u).size(), 64u);
  EXPECT_TRUE(storage.code_of(6).empty());
}

// The 5001st add activates. With unit-length 768-d data, a stored vector used
// as the query must then find its own document first and score it well.
TEST(VectorStorage, QuantizedScoresRankOwnDocumentFirst) {
  VectorStorage storage;
  std::mt19937 rng(2);
  std::vector<std::vector<float>> data;
  CaptureStdout();
  for (uint32_t id = 0; id <= 5000; ++id) {
    EXPECT_FALSE(storage.quantized());
    data.push_back(unit_vector(rng, 768));
    ASSERT_TRUE(storage.store(id, data.back()).ok());
  }
  ASSERT_TRUE(storage.quantized());
  EXPECT_EQ(GetCapturedStdout(), "Activating quantization at 5000 vectors...\n");
  std::vector<uint32_t> all(5001);
  std::iota(all.begin(), all.end(), 0u);
  for (uint32_t probe : {0u, 19u, 1234u, 5000u}) {
    std::vector<ScoredPair> scored = score_all(storage, data[probe], all);
    ASSERT_EQ(scored.size(), all.size());
    float own = scored[probe].score;
    EXPECT_GT(own, 0.5f);
    for (const ScoredPair& p : scored) {
      ASSERT_TRUE(p.id == probe || p.score < own) << probe << " vs " << p.id;
    }
  }
}

TEST(VectorStorage, QuantizedEdgeCasesAndTableAgreesWithSingleScores) {
  VectorStorage storage;
  std::mt19937 rng(3);
  std::vector<std::vector<float>> data;
  CaptureStdout();
  for (uint32_t id = 0; id <= 7502; ++id) {  // a third skipped: 5002 stored
    data.push_back(unit_vector(rng, 24));
    ASSERT_TRUE(id % 3 == 1 || storage.store(id, data.back()).ok());
  }
  GetCapturedStdout();
  ASSERT_TRUE(storage.quantized());
  // Vector 0 was sampled as centroid 0 of both trained sub-spaces.
  EXPECT_EQ(*storage.compute_similarity(data[0], 0), 1.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>{}, 0), 1.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>(24, 10.0f), 0), 0.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>(24, NAN), 0), 0.0f);
  EXPECT_FALSE(storage.compute_similarity(data[0], 1).has_value());
  // Queries shorter than, equal to and longer than the trained dimension.
  for (size_t len : {5, 24, 40, 1000}) {
    std::vector<float> q = unit_vector(rng, len);
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < 3000; ++id) ids.push_back(id * 7 % 5003);
    // Alone, or in pieces on the pool: the same pairs.
    std::vector<ScoredPair> batch = score_all(storage, q, ids);
    std::vector<ScoredPair> pooled = score_all(storage, q, ids, ThreadPool::instance());
    ASSERT_EQ(pooled.size(), batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
      ASSERT_EQ(pooled[i].id, batch[i].id);
      ASSERT_EQ(pooled[i].score, batch[i].score);
    }
    size_t k = 0;
    for (uint32_t id : ids) {
      auto single = storage.compute_similarity(q, id);
      if (!single) continue;
      ASSERT_LT(k, batch.size());
      ASSERT_EQ(batch[k].id, id);
      ASSERT_EQ(batch[k].score, *single) << "len " << len << " id " << id;
      ++k;
    }
    EXPECT_EQ(k, batch.size());
  }
}

}  // namespace
}  // namespace ostrel
