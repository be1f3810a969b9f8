// Per-target kernel bodies; this file is compiled once per SIMD target by
// Highway's foreach_target.h. See kernels.h for the arithmetic contract.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cmath>
#include <cstring>

#include "kernels.h"

HWY_BEFORE_NAMESPACE();
namespace ostrel::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr size_t kPartials = 8;

HWY_INLINE double combine(const double* p) {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

// Accumulates up to three interleaved partial sums over the blocks of eight
// elements; Op(a, b, acc...) adds its terms. Tail elements are added after.
struct Sums {
  double ab[kPartials] = {};
  double aa[kPartials] = {};
  double bb[kPartials] = {};
};

void CosSums(const float* a, const float* b, size_t n, Sums* s) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  constexpr size_t N = hn::MaxLanes(dd);
  static_assert(kPartials % N == 0 || N > kPartials, "lane count must divide 8");
  if constexpr (N <= kPartials) {
    constexpr size_t V = kPartials / N;
    hn::Vec<decltype(dd)> ab[V], aa[V], bb[V];
    for (size_t v = 0; v < V; ++v) ab[v] = aa[v] = bb[v] = hn::Zero(dd);
    size_t i = 0;
    for (; i + kPartials <= n; i += kPartials) {
      for (size_t v = 0; v < V; ++v) {
        const auto x = hn::PromoteTo(dd, hn::LoadU(df, a + i + v * N));
        const auto y = hn::PromoteTo(dd, hn::LoadU(df, b + i + v * N));
        ab[v] = hn::Add(ab[v], hn::Mul(x, y));
        aa[v] = hn::Add(aa[v], hn::Mul(x, x));
        bb[v] = hn::Add(bb[v], hn::Mul(y, y));
      }
    }
    for (size_t v = 0; v < V; ++v) {
      hn::StoreU(ab[v], dd, s->ab + v * N);
      hn::StoreU(aa[v], dd, s->aa + v * N);
      hn::StoreU(bb[v], dd, s->bb + v * N);
    }
    for (size_t k = 0; i < n; ++i, ++k) {
      const double x = a[i], y = b[i];
      s->ab[k] += x * y;
      s->aa[k] += x * x;
      s->bb[k] += y * y;
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      const double x = a[i], y = b[i];
      s->ab[i % kPartials] += x * y;
      s->aa[i % kPartials] += x * x;
      s->bb[i % kPartials] += y * y;
    }
  }
}

double CosF32(const float* a, const float* b, size_t n) {
  Sums s;
  CosSums(a, b, n, &s);
  const double ab = combine(s.ab), a2 = combine(s.aa), b2 = combine(s.bb);
  if (a2 == 0 && b2 == 0) return 0.0;
  if (ab == 0) return 1.0;
  const double r = 1.0 - ab / (std::sqrt(a2) * std::sqrt(b2));
  return r > 0 ? r : 0;
}

double L2sqF32(const float* a, const float* b, size_t n) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  constexpr size_t N = hn::MaxLanes(dd);
  double p[kPartials] = {};
  size_t i = 0;
  if constexpr (N <= kPartials) {
    constexpr size_t V = kPartials / N;
    hn::Vec<decltype(dd)> acc[V];
    for (size_t v = 0; v < V; ++v) acc[v] = hn::Zero(dd);
    for (; i + kPartials <= n; i += kPartials) {
      for (size_t v = 0; v < V; ++v) {
        const auto x = hn::PromoteTo(dd, hn::LoadU(df, a + i + v * N));
        const auto y = hn::PromoteTo(dd, hn::LoadU(df, b + i + v * N));
        const auto d = hn::Sub(x, y);
        acc[v] = hn::Add(acc[v], hn::Mul(d, d));
      }
    }
    for (size_t v = 0; v < V; ++v) hn::StoreU(acc[v], dd, p + v * N);
  }
  for (size_t k = i % kPartials; i < n; ++i, k = (k + 1) % kPartials) {
    const double d = double{a[i]} - double{b[i]};
    p[k] += d * d;
  }
  return combine(p);
}

void L2sqF32Columns(const float* x, size_t n, const float* cols, size_t stride, size_t count,
                    float* out) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  const size_t N = hn::Lanes(dd);
  size_t c = 0;
  for (; c + N <= count; c += N) {
    hn::Vec<decltype(dd)> p[kPartials];
    for (size_t k = 0; k < kPartials; ++k) p[k] = hn::Zero(dd);
    for (size_t i = 0; i < n; ++i) {
      const auto y = hn::PromoteTo(dd, hn::LoadU(df, cols + i * stride + c));
      const auto d = hn::Sub(hn::Set(dd, double{x[i]}), y);
      p[i % kPartials] = hn::Add(p[i % kPartials], hn::Mul(d, d));
    }
    const auto sum = hn::Add(hn::Add(hn::Add(p[0], p[1]), hn::Add(p[2], p[3])),
                             hn::Add(hn::Add(p[4], p[5]), hn::Add(p[6], p[7])));
    hn::StoreU(hn::DemoteTo(df, sum), df, out + c);
  }
  for (; c < count; ++c) {
    double p[kPartials] = {};
    for (size_t i = 0; i < n; ++i) {
      const double d = double{x[i]} - double{cols[i * stride + c]};
      p[i % kPartials] += d * d;
    }
    out[c] = static_cast<float>(combine(p));
  }
}

void Dot32F32(const float* v, const float* planes, size_t n, float* out) {
  const hn::ScalableTag<float> df;
  constexpr size_t kPlanes = 32;
  constexpr size_t N = hn::MaxLanes(df);
  if constexpr (N <= kPlanes && kPlanes % N == 0) {
    constexpr size_t V = kPlanes / N;
    hn::Vec<decltype(df)> acc[V];
    for (size_t k = 0; k < V; ++k) acc[k] = hn::Zero(df);
    for (size_t j = 0; j < n; ++j) {
      const auto x = hn::Set(df, v[j]);
      const float* row = planes + j * kPlanes;
      for (size_t k = 0; k < V; ++k) {
        acc[k] = hn::Add(acc[k], hn::Mul(x, hn::LoadU(df, row + k * N)));
      }
    }
    for (size_t k = 0; k < V; ++k) hn::StoreU(acc[k], df, out + k * N);
  } else {
    for (size_t h = 0; h < kPlanes; ++h) {
      float sum = 0.0f;
      for (size_t j = 0; j < n; ++j) sum += v[j] * planes[j * kPlanes + h];
      out[h] = sum;
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace ostrel::kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrel::kernels {

HWY_EXPORT(CosF32);
HWY_EXPORT(L2sqF32);
HWY_EXPORT(L2sqF32Columns);
HWY_EXPORT(Dot32F32);

double cos_f32(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(CosF32)(a, b, n);
}

double l2sq_f32(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(L2sqF32)(a, b, n);
}

void l2sq_f32_columns(const float* x, size_t n, const float* cols, size_t stride, size_t count,
                      float* out) {
  HWY_DYNAMIC_DISPATCH(L2sqF32Columns)(x, n, cols, stride, count, out);
}

void dot32_f32(const float* v, const float* planes, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Dot32F32)(v, planes, n, out);
}

const char* target_name() {
  const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(targets & -targets);  // the best one: lowest bit
}

}  // namespace ostrel::kernels
#endif  // HWY_ONCE
