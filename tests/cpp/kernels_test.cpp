#include "kernels.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <random>
#include <vector>

namespace ostrel::kernels {
namespace {

// The arithmetic contract of kernels.h, written out plainly.
double partial_sum(const std::vector<double>& terms) {
  double p[8] = {};
  for (size_t i = 0; i < terms.size(); ++i) p[i % 8] += terms[i];
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

double reference_cos(const float* a, const float* b, size_t n) {
  std::vector<double> ab(n), aa(n), bb(n);
  for (size_t i = 0; i < n; ++i) {
    ab[i] = double{a[i]} * b[i];
    aa[i] = double{a[i]} * a[i];
    bb[i] = double{b[i]} * b[i];
  }
  double dot = partial_sum(ab), a2 = partial_sum(aa), b2 = partial_sum(bb);
  if (a2 == 0 && b2 == 0) return 0;
  if (dot == 0) return 1;
  double r = 1 - dot / (std::sqrt(a2) * std::sqrt(b2));
  return r > 0 ? r : 0;
}

// Float partial sums of squared differences, each product rounded.
double reference_l2sq(const float* a, const float* b, size_t n) {
  float p[8] = {};
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    float square = d * d;
    p[i % 8] = p[i % 8] + square;
  }
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

class PerTarget : public ::testing::TestWithParam<int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

// Uniform in [-2 scale, 2 scale); a scale of 0x1p-70f makes every square and
// product subnormal, which a target that flushes them to zero gets wrong.
std::vector<float> random_floats(std::mt19937& rng, size_t n, float scale = 1.0f) {
  std::uniform_real_distribution<float> u(-2.0f * scale, 2.0f * scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

TEST_P(PerTarget, MatchesReferenceBitForBit) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    size_t n = rng() % 1001;
    const float scale = round % 4 == 0 ? 0x1p-70f : 1.0f;
    auto a = random_floats(rng, n, scale);
    auto b = random_floats(rng, n, scale);
    ASSERT_EQ(cos_f32(a.data(), b.data(), n), reference_cos(a.data(), b.data(), n)) << n;
    ASSERT_EQ(l2sq_f32(a.data(), b.data(), n), reference_l2sq(a.data(), b.data(), n)) << n;
  }
  // The cosine conventions, every pair: zero against zero is 0, against
  // anything else 1 (orthogonal too); a NaN distance clips to 0.
  const std::vector<float> special[] = {
      std::vector<float>(9, 0.0f), std::vector<float>(9, 1.0f), std::vector<float>(9, -1.0f),
      {1, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, NAN, 1, 1, 1, 1, 1}};
  for (const auto& a : special)
    for (const auto& b : special)
      ASSERT_EQ(cos_f32(a.data(), b.data(), 9), reference_cos(a.data(), b.data(), 9));
  EXPECT_EQ(cos_f32(nullptr, nullptr, 0), 0.0);
}

TEST_P(PerTarget, ColumnsMatchSingleCallsAndNearestIsTheFirstMinimum) {
  std::mt19937 rng(11);
  for (size_t n : {0, 1, 7, 8, 9, 12, 13, 40}) {
    for (size_t count : {1, 5, 256, 259}) {
      // Layouts: one block; blocks of 16 as the quantizer stores them; spare rows.
      for (size_t layout = 0; layout < 3; ++layout) {
        const size_t block = layout == 0 ? count : 16, rows = layout == 2 ? n + 3 : n;
        auto at = [&](size_t c, size_t i) {
          return c / block * block * rows + i * block + c % block;
        };
        const size_t size = (count + block - 1) / block * block * rows;  // floats per slice
        const float scale = count == 5 ? 0x1p-70f : 1.0f;
        auto x = random_floats(rng, 2 * n, scale);
        auto cols = random_floats(rng, 2 * size, scale);
        if (count > 100) {  // exact ties: the first must win
          for (size_t i = 0; i < n; ++i) cols[at(90, i)] = cols[at(70, i)];
        }
        std::vector<float> out(count);
        l2sq_f32_columns(x.data(), n, cols.data(), block, rows, count, out.data());
        size_t first_min = 0;
        for (size_t c = 0; c < count; ++c) {
          std::vector<float> point(n);
          for (size_t i = 0; i < n; ++i) point[i] = cols[at(c, i)];
          ASSERT_EQ(out[c], static_cast<float>(l2sq_f32(x.data(), point.data(), n)))
              << "n=" << n << " c=" << c << " layout=" << layout;
          if (out[c] < out[first_min]) first_min = c;
        }
        EXPECT_EQ(nearest_f32_columns(x.data(), n, cols.data(), block, rows, count), first_min);
        if (rows == n && count % block == 0 && count <= 256) {  // two slices in one call
          uint8_t codes[2];
          nearest_f32_columns_batch(x.data(), n, cols.data(), block, count, 2, codes);
          EXPECT_EQ(codes[0], first_min);
          EXPECT_EQ(codes[1],
                    nearest_f32_columns(x.data() + n, n, cols.data() + size, block, n, count));
        }
        // +inf and NaN distances are never below the largest float: index 0.
        std::vector<float> far(size, -3e38f);
        for (size_t i = 0; i < n && count > 7; ++i) far[at(7, i)] = i == 0 ? NAN : x[i];
        EXPECT_EQ(nearest_f32_columns(x.data(), n, far.data(), block, rows, count), 0u);
      }
    }
  }
}

TEST_P(PerTarget, Dot32SumsEachPlaneInIndexOrder) {
  std::mt19937 rng(3);
  for (size_t n : {0, 1, 31, 768, 1000}) {
    const float scale = n == 31 ? 0x1p-70f : 1.0f;
    auto v = random_floats(rng, n, scale);
    auto planes = random_floats(rng, n * 32, scale);
    float out[32];
    dot32_f32(v.data(), planes.data(), n, out);
    for (size_t h = 0; h < 32; ++h) {
      float sum = 0.0f;
      for (size_t j = 0; j < n; ++j) {
        float product = v[j] * planes[j * 32 + h];
        sum = sum + product;
      }
      ASSERT_EQ(out[h], sum) << "n=" << n << " h=" << h;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllTargets, PerTarget,
                         ::testing::ValuesIn(hwy::SupportedAndGeneratedTargets()),
                         [](const auto& info) { return std::string(hwy::TargetName(info.param)); });

}  // namespace
}  // namespace ostrel::kernels
