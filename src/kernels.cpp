// Per-target kernel bodies; this file is compiled once per SIMD target by
// Highway's foreach_target.h. See kernels.h for the arithmetic contract.
//
// Vectors are kept in named locals, never in arrays: SVE's vector types are
// sizeless. Sums that interleave eight partials use a tag capped at eight
// lanes; on SVE its lane count is known only at run time, so the number of
// vectors (8 / lanes) is chosen per call, and a length that does not divide
// eight falls back to the scalar loop, which is the contract itself.
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

template <class T>
HWY_INLINE T Combine8(const T* p) {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

// Partial sums of a.b, a.a and b.b; partial k takes the elements i with
// i % 8 == k.
struct Sums {
  double ab[PARTIALS] = {};
  double aa[PARTIALS] = {};
  double bb[PARTIALS] = {};
};

// Adds elements i .. n - 1 (i a multiple of 8) to the partial sums. Products
// of two floats are exact in double, so only the order of the sums matters.
void CosSumsScalar(const float* a, const float* b, size_t i, size_t n, Sums* s) {
  for (; i < n; ++i) {
    const double x = a[i], y = b[i];
    s->ab[i % PARTIALS] += x * y;
    s->aa[i % PARTIALS] += x * x;
    s->bb[i % PARTIALS] += y * y;
  }
}

#if HWY_HAVE_FLOAT64
// The whole blocks of eight elements with V vectors of 8 / V doubles:
// partial k is lane k % N of vector k / N. Returns the elements done.
template <size_t V, class D>
HWY_INLINE size_t CosBlocks(D dd, const float* a, const float* b, size_t n, Sums* s) {
  const hn::Rebind<float, D> df;
  const size_t N = PARTIALS / V;
  const auto zero = hn::Zero(dd);
  auto ab0 = zero, aa0 = zero, bb0 = zero, ab1 = zero, aa1 = zero, bb1 = zero;
  auto ab2 = zero, aa2 = zero, bb2 = zero, ab3 = zero, aa3 = zero, bb3 = zero;
  const auto step = [&](hn::Vec<D>& ab, hn::Vec<D>& aa, hn::Vec<D>& bb, size_t at) {
    const auto x = hn::PromoteTo(dd, hn::LoadU(df, a + at));
    const auto y = hn::PromoteTo(dd, hn::LoadU(df, b + at));
    ab = hn::Add(ab, hn::Mul(x, y));
    aa = hn::Add(aa, hn::Mul(x, x));
    bb = hn::Add(bb, hn::Mul(y, y));
  };
  size_t i = 0;
  for (; i + PARTIALS <= n; i += PARTIALS) {
    step(ab0, aa0, bb0, i);
    if constexpr (V > 1) step(ab1, aa1, bb1, i + N);
    if constexpr (V > 2) step(ab2, aa2, bb2, i + 2 * N), step(ab3, aa3, bb3, i + 3 * N);
  }
  const auto store = [&](const hn::Vec<D>& ab, const hn::Vec<D>& aa, const hn::Vec<D>& bb,
                         size_t at) {
    hn::StoreU(ab, dd, s->ab + at);
    hn::StoreU(aa, dd, s->aa + at);
    hn::StoreU(bb, dd, s->bb + at);
  };
  store(ab0, aa0, bb0, 0);
  if constexpr (V > 1) store(ab1, aa1, bb1, N);
  if constexpr (V > 2) store(ab2, aa2, bb2, 2 * N), store(ab3, aa3, bb3, 3 * N);
  return i;
}
#endif

// The whole blocks of eight elements in vectors, when the lane count divides
// eight; returns the elements done (0 when it does not).
size_t CosSumsVector(const float* a, const float* b, size_t n, Sums* s) {
#if HWY_HAVE_FLOAT64
  const hn::CappedTag<double, PARTIALS> dd;
  constexpr size_t kMax = hn::MaxLanes(dd);
  const size_t lanes = hn::Lanes(dd);
  if constexpr (kMax >= 8) {
    if (lanes == 8) return CosBlocks<1>(dd, a, b, n, s);
  }
  if constexpr (kMax >= 4) {
    if (lanes == 4) return CosBlocks<2>(hn::CappedTag<double, 4>(), a, b, n, s);
  }
  if constexpr (kMax >= 2) {
    if (lanes == 2) return CosBlocks<4>(hn::CappedTag<double, 2>(), a, b, n, s);
  }
#endif
  // Without f64 lanes (32-bit NEON), with one lane, or with an SVE length
  // that does not divide eight: all in the scalar loop.
  (void)a, (void)b, (void)n, (void)s;
  return 0;
}

double CosF32(const float* a, const float* b, size_t n) {
  Sums s;
  CosSumsScalar(a, b, CosSumsVector(a, b, n, &s), n, &s);
  const double ab = Combine8(s.ab), a2 = Combine8(s.aa), b2 = Combine8(s.bb);
  if (a2 == 0 && b2 == 0) return 0.0;
  if (ab == 0) return 1.0;
  const double r = 1.0 - ab / (std::sqrt(a2) * std::sqrt(b2));
  return r > 0 ? r : 0;
}

// One step of a squared-distance partial sum: acc + d * d, the product
// rounded to float before it is added. Never fused, so targets with and
// without FMA give the same bits.
template <class V>
HWY_INLINE V AddSquare(V acc, V d) {
  return hn::Add(acc, hn::Mul(d, d));
}

// The whole blocks of eight elements with V vectors of 8 / V floats, into
// p[0..8). Returns the elements done.
template <size_t V, class D>
HWY_INLINE size_t L2Blocks(D df, const float* a, const float* b, size_t n, float* p) {
  const size_t N = PARTIALS / V;
  auto acc0 = hn::Zero(df), acc1 = hn::Zero(df);
  size_t i = 0;
  for (; i + PARTIALS <= n; i += PARTIALS) {
    acc0 = AddSquare(acc0, hn::Sub(hn::LoadU(df, a + i), hn::LoadU(df, b + i)));
    if constexpr (V > 1) {
      acc1 = AddSquare(acc1, hn::Sub(hn::LoadU(df, a + i + N), hn::LoadU(df, b + i + N)));
    }
  }
  hn::StoreU(acc0, df, p);
  if constexpr (V > 1) hn::StoreU(acc1, df, p + N);
  return i;
}

double L2sqF32(const float* a, const float* b, size_t n) {
  const hn::CappedTag<float, PARTIALS> df;
  constexpr size_t kMax = hn::MaxLanes(df);
  const size_t lanes = hn::Lanes(df);
  float p[PARTIALS] = {};
  size_t i = 0;
  if constexpr (kMax >= 8) {
    if (lanes == 8) i = L2Blocks<1>(df, a, b, n, p);
  }
  if constexpr (kMax >= 4) {
    if (lanes == 4) i = L2Blocks<2>(hn::CappedTag<float, 4>(), a, b, n, p);
  }
  for (; i < n; ++i) p[i % PARTIALS] += (a[i] - b[i]) * (a[i] - b[i]);
  return Combine8(p);
}

// Squared distances from x to the columns c .. c + Lanes - 1, as floats;
// kN > 0 fixes n at compile time. Partial k takes the components i with
// i % 8 == k; the components after the last whole eight go to p0, p1, ...
template <size_t kN, class D>
HWY_INLINE hn::Vec<D> ColumnDistances(D df, const float* x, size_t n, const float* cols,
                                      size_t stride, size_t c) {
  if constexpr (kN > 0) n = kN;
  const auto zero = hn::Zero(df);
  auto p0 = zero, p1 = zero, p2 = zero, p3 = zero, p4 = zero, p5 = zero, p6 = zero, p7 = zero;
  const auto step = [&](hn::Vec<D>& p, size_t i) {
    p = AddSquare(p, hn::Sub(hn::Set(df, x[i]), hn::LoadU(df, cols + i * stride + c)));
  };
  size_t i = 0;
  for (; i + PARTIALS <= n; i += PARTIALS) {
    step(p0, i), step(p1, i + 1), step(p2, i + 2), step(p3, i + 3);
    step(p4, i + 4), step(p5, i + 5), step(p6, i + 6), step(p7, i + 7);
  }
  if (i < n) step(p0, i++);
  if (i < n) step(p1, i++);
  if (i < n) step(p2, i++);
  if (i < n) step(p3, i++);
  if (i < n) step(p4, i++);
  if (i < n) step(p5, i++);
  if (i < n) step(p6, i++);
  return hn::Add(hn::Add(hn::Add(p0, p1), hn::Add(p2, p3)),
                 hn::Add(hn::Add(p4, p5), hn::Add(p6, p7)));
}

float ColumnDistance1(const float* x, size_t n, const float* cols, size_t stride, size_t c) {
  float p[PARTIALS] = {};
  for (size_t i = 0; i < n; ++i) {
    const float d = x[i] - cols[i * stride + c];
    p[i % PARTIALS] += d * d;
  }
  return Combine8(p);
}

// Points are stored by column in blocks of `block` points of `rows`
// components (kernels.h): the block starting at point `start` begins at
// cols + start * rows. kB > 0 fixes the block width at compile time (and
// then rows == kN); every block but the last is full, which the loops below
// rely on to run fixed-count inner loops. Lanes are points, at most 16 (the
// block width the quantizer uses).
using ColumnTag = hn::CappedTag<float, 16>;

template <size_t kN, class D>
HWY_INLINE void BlockDistances(D df, const float* x, size_t n, const float* b, size_t block,
                               size_t width, float* out) {
  const size_t N = hn::Lanes(df);
  const size_t whole = width / N * N;
  for (size_t c = 0; c < whole; c += N) {
    hn::StoreU(ColumnDistances<kN>(df, x, n, b, block, c), df, out + c);
  }
  for (size_t c = whole; c < width; ++c) out[c] = ColumnDistance1(x, n, b, block, c);
}

template <size_t kN, size_t kB>
void ColumnsN(const float* x, size_t n, const float* cols, size_t block, size_t rows, size_t count,
              float* out) {
  if constexpr (kN > 0) n = kN;
  if constexpr (kB > 0) block = kB, rows = kN;
  const ColumnTag df;
  size_t start = 0;
  for (; start + block <= count; start += block) {
    BlockDistances<kN>(df, x, n, cols + start * rows, block, block, out + start);
  }
  if (start < count) {
    BlockDistances<kN>(df, x, n, cols + start * rows, block, count - start, out + start);
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
HWY_INLINE void BlockNearest(D df, DI di, const float* x, size_t n, const float* b, size_t block,
                             size_t start, size_t width, hn::Vec<D>& best_v, hn::Vec<DI>& best_c,
                             float& best, size_t& index) {
  const size_t N = hn::Lanes(df);
  size_t c = 0;
  for (; c + N <= width; c += N) {
    const auto d = ColumnDistances<kN>(df, x, n, b, block, c);
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
  const ColumnTag df;
  const hn::RebindToSigned<decltype(df)> di;
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
    BlockNearest<kN>(df, di, x, n, cols + start * rows, block, start, block, best_v, best_c, best,
                     index);
  }
  if (start < count) {
    BlockNearest<kN>(df, di, x, n, cols + start * rows, block, start, count - start, best_v, best_c,
                     best, index);
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

// The 32 planes in V vectors of 32 / V lanes, one running sum per plane.
template <size_t V, class D>
HWY_INLINE void Dot32Vectors(D df, const float* v, const float* planes, size_t n, float* out) {
  constexpr size_t PLANES = 32, N = PLANES / V;
  const auto zero = hn::Zero(df);
  auto s0 = zero, s1 = zero, s2 = zero, s3 = zero, s4 = zero, s5 = zero, s6 = zero, s7 = zero;
  const auto step = [&](hn::Vec<D>& s, const hn::Vec<D>& x, const float* row) {
    s = hn::Add(s, hn::Mul(x, hn::LoadU(df, row)));
  };
  for (size_t j = 0; j < n; ++j) {
    const auto x = hn::Set(df, v[j]);
    const float* row = planes + j * PLANES;
    step(s0, x, row);
    if constexpr (V > 1) step(s1, x, row + N);
    if constexpr (V > 2) step(s2, x, row + 2 * N), step(s3, x, row + 3 * N);
    if constexpr (V > 4) {
      step(s4, x, row + 4 * N), step(s5, x, row + 5 * N);
      step(s6, x, row + 6 * N), step(s7, x, row + 7 * N);
    }
  }
  hn::StoreU(s0, df, out);
  if constexpr (V > 1) hn::StoreU(s1, df, out + N);
  if constexpr (V > 2) hn::StoreU(s2, df, out + 2 * N), hn::StoreU(s3, df, out + 3 * N);
  if constexpr (V > 4) {
    hn::StoreU(s4, df, out + 4 * N), hn::StoreU(s5, df, out + 5 * N);
    hn::StoreU(s6, df, out + 6 * N), hn::StoreU(s7, df, out + 7 * N);
  }
}

void Dot32F32(const float* v, const float* planes, size_t n, float* out) {
  const hn::CappedTag<float, 32> df;
  constexpr size_t kMax = hn::MaxLanes(df);
  const size_t lanes = hn::Lanes(df);
  if constexpr (kMax >= 32) {
    if (lanes == 32) return Dot32Vectors<1>(df, v, planes, n, out);
  }
  if constexpr (kMax >= 16) {
    if (lanes == 16) return Dot32Vectors<2>(hn::CappedTag<float, 16>(), v, planes, n, out);
  }
  if constexpr (kMax >= 8) {
    if (lanes == 8) return Dot32Vectors<4>(hn::CappedTag<float, 8>(), v, planes, n, out);
  }
  if constexpr (kMax >= 4) {
    if (lanes == 4) return Dot32Vectors<8>(hn::CappedTag<float, 4>(), v, planes, n, out);
  }
  for (size_t h = 0; h < 32; ++h) {  // one lane, or an SVE length that does not divide 32
    float sum = 0.0f;
    for (size_t j = 0; j < n; ++j) sum += v[j] * planes[j * 32 + h];
    out[h] = sum;
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

void dot32_f32(const float* v, const float* planes, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Dot32F32)(v, planes, n, out);
}

const char* target_name() {
  const int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(targets & -targets);  // the best one: lowest bit
}

}  // namespace ostrel::kernels
#endif  // HWY_ONCE
