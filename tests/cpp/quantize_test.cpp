#include "quantize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// The sub-spaces the data reach take the piece of every step-th vector as it
// is (step = n / 256, at least 1; shorter at the data's end), then, past n,
// zero centroids of 12 components; later sub-spaces keep their seeded
// codebooks and always get code 0.
TEST(ProductQuantizer, SamplesEveryStepthVectorAndKeepsLaterCodebooks) {
  const auto initial = ProductQuantizer::train(768, {});
  // (vectors, dimension): a step of 19; fewer vectors than centroids, short and long data.
  for (const auto& [n, dim] :
       {std::pair<size_t, size_t>{5000, 768}, {100, 384}, {100, 10}, {100, 1000}}) {
    auto data = random_vectors(n, dim, 1);
    auto pq = ProductQuantizer::train(768, spans(data));
    const size_t step = std::max<size_t>(n / 256, 1),
                 reached = std::min<size_t>((dim + 11) / 12, 64);
    for (size_t s = 0; s < 64; ++s) {
      for (size_t c = 0; c < 256; ++c) {  // a sample, zero beyond its piece; zero; or seeded
        const bool sampled = s < reached && step * c < n;
        const size_t len = sampled ? std::min<size_t>(12, dim - s * 12) : 12;
        auto want = s < reached ? std::array<float, 12>{} : initial->centroid(s, c);
        if (sampled) std::copy_n(&data[step * c][s * 12], len, want.begin());
        ASSERT_EQ(pq->centroid_len(s, c), len) << dim << " " << s << " " << c;
        ASSERT_EQ(pq->centroid(s, c), want) << dim << " " << s << " " << c;
      }
    }
    const auto code = pq->encode(data[5]);
    ASSERT_EQ(code.size(), 64u);
    for (size_t s = reached; s < 64; ++s) EXPECT_EQ(code[s], 0) << dim;
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
