// Per-target kernel bodies; this file is compiled once per SIMD target by
// Highway's foreach_target.h. See kernels.h for the arithmetic contract.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels.h"

HWY_BEFORE_NAMESPACE();
namespace ostrel::kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr size_t PARTIALS = 8;

HWY_INLINE double combine(const double* p) {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

// Accumulates up to three interleaved partial sums over the blocks of eight
// elements; Op(a, b, acc...) adds its terms. Tail elements are added after.
struct Sums {
  double ab[PARTIALS] = {};
  double aa[PARTIALS] = {};
  double bb[PARTIALS] = {};
};

void CosSums(const float* a, const float* b, size_t n, Sums* s) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  constexpr size_t N = hn::MaxLanes(dd);
  static_assert(PARTIALS % N == 0 || N > PARTIALS, "lane count must divide 8");
  if constexpr (N <= PARTIALS) {
    constexpr size_t V = PARTIALS / N;
    hn::Vec<decltype(dd)> ab[V], aa[V], bb[V];
    for (size_t v = 0; v < V; ++v) ab[v] = aa[v] = bb[v] = hn::Zero(dd);
    size_t i = 0;
    for (; i + PARTIALS <= n; i += PARTIALS) {
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
      s->ab[i % PARTIALS] += x * y;
      s->aa[i % PARTIALS] += x * x;
      s->bb[i % PARTIALS] += y * y;
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

// One step of a squared-distance partial sum: acc + d * d, fused into one
// rounding where the target has FMA, two roundings otherwise. The scalar
// form below performs the same IEEE operation as the vector form.
template <class V>
HWY_INLINE V AddSquare(V acc, V d) {
#if HWY_NATIVE_FMA
  return hn::MulAdd(d, d, acc);
#else
  return hn::Add(acc, hn::Mul(d, d));
#endif
}
HWY_INLINE float AddSquare1(float acc, float d) {
#if HWY_NATIVE_FMA
  return std::fma(d, d, acc);
#else
  return acc + d * d;
#endif
}
HWY_INLINE float Combine8(const float* p) {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

double L2sqF32(const float* a, const float* b, size_t n) {
  const hn::CappedTag<float, PARTIALS> df;
  constexpr size_t N = hn::MaxLanes(df);
  float p[PARTIALS] = {};
  size_t i = 0;
  if constexpr (PARTIALS % N == 0) {
    constexpr size_t V = PARTIALS / N;
    hn::Vec<decltype(df)> acc[V];
    for (size_t v = 0; v < V; ++v) acc[v] = hn::Zero(df);
    for (; i + PARTIALS <= n; i += PARTIALS) {
      for (size_t v = 0; v < V; ++v) {
        const auto d = hn::Sub(hn::LoadU(df, a + i + v * N), hn::LoadU(df, b + i + v * N));
        acc[v] = AddSquare(acc[v], d);
      }
    }
    for (size_t v = 0; v < V; ++v) hn::StoreU(acc[v], df, p + v * N);
  }
  for (size_t k = 0; i < n; ++i, k = (k + 1) % PARTIALS) p[k] = AddSquare1(p[k], a[i] - b[i]);
  return Combine8(p);
}

// Squared distances from x to the columns c .. c + Lanes - 1, as floats.
// kN > 0 fixes n at compile time so the partial sums stay in registers, and
// takes x already broadcast, xv[i] holding x[i] in every lane.
template <size_t kN, class D>
HWY_INLINE hn::Vec<D> ColumnDistances(D df, const hn::Vec<D>* xv, const float* x, size_t n,
                                      const float* cols, size_t stride, size_t c) {
  if constexpr (kN > 0) n = kN;
  hn::Vec<D> p[PARTIALS];
  for (size_t k = 0; k < PARTIALS; ++k) p[k] = hn::Zero(df);
#pragma GCC unroll 16
  for (size_t i = 0; i < n; ++i) {
    hn::Vec<D> xi;
    if constexpr (kN > 0) {
      xi = xv[i];
    } else {
      xi = hn::Set(df, x[i]);
    }
    const auto d = hn::Sub(xi, hn::LoadU(df, cols + i * stride + c));
    p[i % PARTIALS] = AddSquare(p[i % PARTIALS], d);
  }
  return hn::Add(hn::Add(hn::Add(p[0], p[1]), hn::Add(p[2], p[3])),
                 hn::Add(hn::Add(p[4], p[5]), hn::Add(p[6], p[7])));
}

float ColumnDistance1(const float* x, size_t n, const float* cols, size_t stride, size_t c) {
  float p[PARTIALS] = {};
  for (size_t i = 0; i < n; ++i) {
    p[i % PARTIALS] = AddSquare1(p[i % PARTIALS], x[i] - cols[i * stride + c]);
  }
  return Combine8(p);
}

// Points are stored by column in blocks of `block` points of `rows`
// components (kernels.h): the block starting at point `start` begins at
// cols + start * rows. kB > 0 fixes the block width at compile time (and
// then rows == kN); every block but the last is full, which the loops below
// rely on to run fixed-count inner loops.
template <size_t kN, class D>
HWY_INLINE void BlockDistances(D df, const hn::Vec<D>* xv, const float* x, size_t n, const float* b,
                               size_t block, size_t width, float* out) {
  const size_t N = hn::Lanes(df);
  size_t c = 0;
  for (; c + N <= width; c += N) {
    hn::StoreU(ColumnDistances<kN>(df, xv, x, n, b, block, c), df, out + c);
  }
  for (; c < width; ++c) out[c] = ColumnDistance1(x, n, b, block, c);
}

template <size_t kN, size_t kB>
void ColumnsN(const float* x, size_t n, const float* cols, size_t block, size_t rows, size_t count,
              float* out) {
  if constexpr (kN > 0) n = kN;
  if constexpr (kB > 0) block = kB, rows = kN;
  const hn::ScalableTag<float> df;
  hn::Vec<decltype(df)> xv[kN > 0 ? kN : 1];
  if constexpr (kN > 0) {
    for (size_t i = 0; i < kN; ++i) xv[i] = hn::Set(df, x[i]);
  }
  size_t start = 0;
  for (; start + block <= count; start += block) {
    BlockDistances<kN>(df, xv, x, n, cols + start * rows, block, block, out + start);
  }
  if (start < count) {
    BlockDistances<kN>(df, xv, x, n, cols + start * rows, block, count - start, out + start);
  }
}

// Blocks of 16 points are requested AHEAD blocks (6 KiB at 12 components)
// before they are scanned, one 64-byte line per 16 floats: the hardware
// prefetchers stop at page boundaries, and the codebooks span many pages.
constexpr size_t AHEAD = 8;

// Nearest-point scan of one block, points start .. start + width - 1: per
// lane, the smallest distance and the first point that reached it (strict <,
// so NaN never wins and ties keep the lower index); likewise in `best` and
// `index` for the points left to the scalar loop.
template <size_t kN, class D, class DI>
HWY_INLINE void BlockNearest(D df, DI di, const hn::Vec<D>* xv, const float* x, size_t n,
                             const float* b, size_t block, size_t start, size_t width,
                             hn::Vec<D>& best_v, hn::Vec<DI>& best_c, float& best, size_t& index) {
  const size_t N = hn::Lanes(df);
  size_t c = 0;
  for (; c + N <= width; c += N) {
    const auto d = ColumnDistances<kN>(df, xv, x, n, b, block, c);
    const auto better = hn::Lt(d, best_v);
    best_v = hn::IfThenElse(better, d, best_v);
    best_c = hn::IfThenElse(hn::RebindMask(di, better),
                            hn::Set(di, static_cast<int32_t>(start + c)), best_c);
  }
  if (width % N == 0) return;  // known at compile time for full blocks with kB > 0
  for (; c < width; ++c) {
    const float d = ColumnDistance1(x, n, b, block, c);
    if (d < best) best = d, index = start + c;
  }
}

// The per-lane and scalar winners are then merged: the smallest value of
// all, and the lowest point holding it. Same answer as one ascending scan,
// without a branch per point or per lane. With kB > 0, the `readable`
// floats from cols on may be prefetched.
template <size_t kN, size_t kB>
size_t NearestN(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                size_t count, size_t readable) {
  if constexpr (kN > 0) n = kN;
  if constexpr (kB > 0) block = kB, rows = kN;
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  hn::Vec<decltype(df)> xv[kN > 0 ? kN : 1];
  if constexpr (kN > 0) {
    for (size_t i = 0; i < kN; ++i) xv[i] = hn::Set(df, x[i]);
  }
  const float kLargest = 3.4028235e38f;
  auto best_v = hn::Set(df, kLargest);
  auto best_c = hn::Zero(di);  // first point of the vector that set best_v
  float best = kLargest;
  size_t index = 0;
  size_t start = 0;
  for (; start + block <= count; start += block) {
    if constexpr (kB > 0) {
      const size_t ahead = (start + AHEAD * kB) * kN;
      if (ahead + kB * kN <= readable) {
        for (size_t i = 0; i < kB * kN; i += 16) hwy::Prefetch(cols + ahead + i);
      }
    }
    BlockNearest<kN>(df, di, xv, x, n, cols + start * rows, block, start, block, best_v, best_c,
                     best, index);
  }
  if (start < count) {
    BlockNearest<kN>(df, di, xv, x, n, cols + start * rows, block, start, count - start, best_v,
                     best_c, best, index);
  }
  // Lanes never updated hold the largest finite float and point `lane`, the
  // scalar loop point 0: they hold the minimum only when nothing was
  // smaller, and then the answer is 0, as in the scan.
  const auto least = hn::Min(hn::MinOfLanes(df, best_v), hn::Set(df, best));
  const auto points = hn::Add(best_c, hn::Iota(di, 0));
  const auto holders =
      hn::IfThenElse(hn::RebindMask(di, hn::Eq(best_v, least)), points, hn::Set(di, INT32_MAX));
  const size_t lanes = static_cast<size_t>(hn::GetLane(hn::MinOfLanes(di, holders)));
  return best == hn::GetLane(least) ? std::min(lanes, index) : lanes;
}

// Sub-spaces are 12 components long except possibly the last one.
void L2sqF32Columns(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                    size_t count, float* out) {
  if (n == 12 && rows == 12 && block == 16) {
    return ColumnsN<12, 16>(x, n, cols, block, rows, count, out);
  }
  if (n == 12) return ColumnsN<12, 0>(x, n, cols, block, rows, count, out);
  return ColumnsN<0, 0>(x, n, cols, block, rows, count, out);
}

size_t NearestColumn(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                     size_t count) {
  const size_t whole = count / block * block * rows;  // the full blocks
  if (n == 12 && rows == 12 && block == 16) {
    return NearestN<12, 16>(x, n, cols, block, rows, count, whole);
  }
  if (n == 12) return NearestN<12, 0>(x, n, cols, block, rows, count, whole);
  return NearestN<0, 0>(x, n, cols, block, rows, count, whole);
}

template <size_t kN, size_t kB>
void NearestEach(const float* x, size_t n, const float* cols, size_t block, size_t count,
                 size_t slices, uint8_t* out) {
  const size_t size = n * count;  // floats per slice
  for (size_t s = 0; s < slices; ++s) {
    out[s] = static_cast<uint8_t>(
        NearestN<kN, kB>(x + s * n, n, cols + s * size, block, n, count, (slices - s) * size));
  }
}

void NearestColumnsBatch(const float* x, size_t n, const float* cols, size_t block, size_t count,
                         size_t slices, uint8_t* out) {
  if (n == 12 && block == 16) return NearestEach<12, 16>(x, n, cols, block, count, slices, out);
  if (n == 12) return NearestEach<12, 0>(x, n, cols, block, count, slices, out);
  return NearestEach<0, 0>(x, n, cols, block, count, slices, out);
}

bool UsesFma() { return HWY_NATIVE_FMA != 0; }

void Dot32F32(const float* v, const float* planes, size_t n, float* out) {
  const hn::ScalableTag<float> df;
  constexpr size_t PLANES = 32;
  constexpr size_t N = hn::MaxLanes(df);
  if constexpr (N <= PLANES && PLANES % N == 0) {
    constexpr size_t V = PLANES / N;
    hn::Vec<decltype(df)> acc[V];
    for (size_t k = 0; k < V; ++k) acc[k] = hn::Zero(df);
    for (size_t j = 0; j < n; ++j) {
      const auto x = hn::Set(df, v[j]);
      const float* row = planes + j * PLANES;
      for (size_t k = 0; k < V; ++k) {
        acc[k] = hn::Add(acc[k], hn::Mul(x, hn::LoadU(df, row + k * N)));
      }
    }
    for (size_t k = 0; k < V; ++k) hn::StoreU(acc[k], df, out + k * N);
  } else {
    for (size_t h = 0; h < PLANES; ++h) {
      float sum = 0.0f;
      for (size_t j = 0; j < n; ++j) sum += v[j] * planes[j * PLANES + h];
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
HWY_EXPORT(NearestColumn);
HWY_EXPORT(NearestColumnsBatch);
HWY_EXPORT(UsesFma);
HWY_EXPORT(Dot32F32);

double cos_f32(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(CosF32)(a, b, n);
}

double l2sq_f32(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(L2sqF32)(a, b, n);
}

void l2sq_f32_columns(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                      size_t count, float* out) {
  HWY_DYNAMIC_DISPATCH(L2sqF32Columns)(x, n, cols, block, rows, count, out);
}

size_t nearest_f32_columns(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                           size_t count) {
  return HWY_DYNAMIC_DISPATCH(NearestColumn)(x, n, cols, block, rows, count);
}

void nearest_f32_columns_batch(const float* x, size_t n, const float* cols, size_t block,
                               size_t count, size_t slices, uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(NearestColumnsBatch)(x, n, cols, block, count, slices, out);
}

bool uses_fma() { return HWY_DYNAMIC_DISPATCH(UsesFma)(); }

void dot32_f32(const float* v, const float* planes, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Dot32F32)(v, planes, n, out);
}

const char* target_name() {
  const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(targets & -targets);  // the best one: lowest bit
}

}  // namespace ostrel::kernels
#endif  // HWY_ONCE
