#include "quantize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <random>

#include "kernels.h"

namespace ostrel {
namespace {

std::vector<std::vector<float>> random_vectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& v : out)
    for (float& x : v) x = g(rng);
  return out;
}

std::vector<std::span<const float>> spans(const std::vector<std::vector<float>>& vs) {
  return {vs.begin(), vs.end()};
}

TEST(ProductQuantizer, InitialCodebooksAreSeededUnitVectors) {
  auto pq = ProductQuantizer::train(768, {});
  ASSERT_EQ(pq->num_subspaces(), 64u);
  const float first[] = {0.31042f, 0.23641f, -0.12683f};
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(pq->centroid(0, 0)[i], first[i], 1e-5);
  for (size_t s : {0, 63}) {
    float sum = 0;
    for (float x : pq->centroid(s, 255)) sum += x * x;
    EXPECT_NEAR(sum, 1.0f, 1e-5);
  }
}

TEST(ProductQuantizer, SamplesEveryStepthVectorUnnormalised) {
  auto data = random_vectors(5000, 768, 1);
  auto pq = ProductQuantizer::train(768, spans(data));
  // step = 5000 / 256 = 19: centroid c of every sub-space is the piece of vector 19 c.
  for (size_t s : {0, 31, 63}) {
    for (size_t c : {0, 1, 255}) {
      const auto centroid = pq->centroid(s, c);
      ASSERT_TRUE(std::equal(centroid.begin(), centroid.end(), &data[19 * c][s * 12])) << s << c;
    }
  }
}

TEST(ProductQuantizer, ShortDataKeepsLaterCodebooksAndZeroCodes) {
  // (dimension, sub-spaces replaced by samples)
  for (const auto& c : {std::pair<size_t, size_t>{384, 32}, {10, 1}, {1000, 64}}) {
    auto data = random_vectors(100, c.first, 2);
    auto pq = ProductQuantizer::train(768, spans(data));
    auto initial = ProductQuantizer::train(768, {});
    for (size_t s = 0; s < 64; ++s) {
      bool same = pq->centroid(s, 0) == initial->centroid(s, 0);
      EXPECT_EQ(same, s >= c.second) << c.first << " sub-space " << s;
    }
    // Fewer than 256 samples: zero padding centroids of 12 components.
    EXPECT_EQ(pq->centroid_len(0, 99), std::min<size_t>(c.first, 12));
    EXPECT_EQ(pq->centroid_len(0, 100), 12u);
    EXPECT_EQ(pq->centroid(0, 100)[0], 0.0f);
    auto code = pq->encode(data[5]);
    ASSERT_EQ(code.size(), 64u);
    for (size_t s = (c.first + 11) / 12; s < 64; ++s) EXPECT_EQ(code[s], 0) << c.first;
  }
}

TEST(ProductQuantizer, CodesAreTheFirstNearestCentroids) {
  // (dimension of the data, of the encoded vectors): whole and short slices.
  for (const auto& c : {std::pair<size_t, size_t>{768, 768}, {100, 100}, {768, 100}, {100, 110}}) {
    auto data = random_vectors(300, c.first, 3);
    auto pq = ProductQuantizer::train(768, spans(data));
    for (const auto& v : random_vectors(3, c.second, 4)) {
      const auto code = pq->encode(v);
      for (size_t s = 0; s * 12 < v.size(); ++s) {
        const size_t len = std::min<size_t>(12, v.size() - s * 12);
        float best = FLT_MAX;
        size_t want = 0;
        for (size_t k = 0; k < 256; ++k) {
          const float d = static_cast<float>(kernels::l2sq_f32(
              &v[s * 12], pq->centroid(s, k).data(), std::min(len, pq->centroid_len(s, k))));
          if (d < best) best = d, want = k;
        }
        ASSERT_EQ(code[s], want) << c.first << " " << c.second << " sub-space " << s;
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
