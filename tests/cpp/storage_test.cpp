#include "storage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>

namespace ostrel {
namespace {

using ::testing::internal::CaptureStdout;  // the activation notice goes to stdout
using ::testing::internal::GetCapturedStdout;

TEST(VectorStorage, ExactScoringPaths) {
  VectorStorage storage;
  ASSERT_TRUE(storage.store(1, std::vector<float>{1, 2, 3, 4}).ok());
  ASSERT_TRUE(storage.store(3, std::vector<float>{0, 0, 0, 0}).ok());
  const std::tuple<std::vector<float>, uint32_t, std::optional<float>> cases[] = {
      {{1, 2}, 1, 5.0f / (std::sqrt(5.0f) * std::sqrt(5.0f))},  // common prefix
      {{}, 1, 0.0f},
      {{1, 2, 3, 4, 5}, 1, 1.0f},  // longer query: cut to the stored length
      {{0, 0, 0, 0}, 3, 1.0f},     // both zero: distance 0
      {{1, 0, 0, 0}, 3, 0.0f},     // one zero: distance 1
      {{1, 2}, 3, 0.0f},           // prefix with a zero norm
      {{1, 2, 3, 4}, 2, std::nullopt},
      {{1, 2, 3, 4}, 4000000000u, std::nullopt},
  };
  for (const auto& [query, id, score] : cases) {
    auto got = storage.compute_similarity(query, id);
    ASSERT_EQ(got.has_value(), score.has_value()) << id;
    EXPECT_NEAR(got.value_or(0), score.value_or(0), 1e-6) << id << " len " << query.size();
  }
  ASSERT_TRUE(storage.store(1, std::vector<float>{0, 0, 0, 1}).ok());  // the second one counts
  EXPECT_NEAR(*storage.compute_similarity(std::vector<float>{0, 0, 0, 1}, 1), 1.0f, 1e-6);
}

// Activation counts distinct rows holding a vector, however sparse; a re-stored
// row counts once. Vectors beyond the nominal 768 components keep every sub-space.
TEST(VectorStorage, ThresholdCountsStoredVectorsAndActivatesOnce) {
  VectorStorage storage;
  auto v = [](float x) { return std::vector<float>(800, x); };
  CaptureStdout();
  ASSERT_TRUE(storage.store(4000000000u, v(0.5f)).ok());
  for (uint32_t row = 0; row < 4998; ++row) ASSERT_TRUE(storage.store(row * 7919, v(0.25f)).ok());
  ASSERT_TRUE(storage.store(7919, v(0.75f)).ok());  // again: still 4999
  ASSERT_TRUE(storage.store(99, {}).ok());          // the 5000th
  EXPECT_FALSE(storage.quantized());
  EXPECT_EQ(GetCapturedStdout(), "");
  CaptureStdout();
  ASSERT_TRUE(storage.store(98, v(0.25f)).ok());
  EXPECT_TRUE(storage.quantized());
  ASSERT_TRUE(storage.store(97, v(0.25f)).ok());
  EXPECT_EQ(GetCapturedStdout(), "Activating quantization at 5000 vectors...\n");
  EXPECT_EQ(storage.stored_rows().cardinality(), 5002u);
  EXPECT_EQ(storage.code_of(99), std::vector<uint8_t>(64, 0));
  EXPECT_EQ(storage.code_of(4000000000u).size(), 64u);
  EXPECT_TRUE(storage.code_of(6).empty());
}

TEST(VectorStorage, QuantizedEdgeCases) {
  VectorStorage storage;
  std::mt19937 rng(3);
  std::normal_distribution<float> g;
  std::vector<std::vector<float>> data(7503, std::vector<float>(24));
  for (uint32_t id = 0; id < data.size(); ++id) {  // a third skipped: 5002 stored
    for (float& x : data[id]) x = g(rng);
    ASSERT_TRUE(id % 3 == 1 || storage.store(id, data[id]).ok());
  }
  ASSERT_TRUE(storage.quantized());
  // Vector 0 was sampled as centroid 0 of both trained sub-spaces.
  EXPECT_EQ(*storage.compute_similarity(data[0], 0), 1.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>{}, 0), 1.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>(24, 10.0f), 0), 0.0f);
  EXPECT_EQ(*storage.compute_similarity(std::vector<float>(24, NAN), 0), 0.0f);
  EXPECT_FALSE(storage.compute_similarity(data[0], 1).has_value());
}

}  // namespace
}  // namespace ostrel
