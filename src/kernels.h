// Distance kernels over float32 arrays, chosen at run time for the CPU
// (Highway dynamic dispatch: AVX-512, AVX2, SSE4, SSSE3, NEON, SVE, SVE2 or
// portable 128-bit code).
//
// Arithmetic: sums are accumulated in eight interleaved partial sums
// (partial k takes the elements i with i % 8 == k, in ascending i), which are
// then combined as ((p0+p1)+(p2+p3))+((p4+p5)+(p6+p7)).
// - cos_f32 takes products in double precision and sums in double.
// - The squared distances work in float: d = a_i - b_i, then p_k + d * d,
//   the product rounded to float before it is added (never fused).
// Every function performs these IEEE operations in this order on every
// target, so its results are the same bits on every CPU (x86-64, aarch64,
// armv7) as the plain scalar loops. On 32-bit ARM the kernels do not use
// NEON, whose float arithmetic flushes subnormal numbers to zero.
//
// All functions are pure and thread-safe. Pointers may be unaligned; n may be 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::kernels {

// Cosine distance 1 - a.b / (|a| |b|) of the first n elements, with these
// conventions: both vectors zero -> 0; a.b == 0 (one vector zero, or
// orthogonal) -> 1; otherwise the distance clipped at 0 from below (a NaN
// distance also becomes 0).
double cos_f32(const float* a, const float* b, size_t n);

// Squared Euclidean distance sum (a_i - b_i)^2 of the first n elements.
double l2sq_f32(const float* a, const float* b, size_t n);

// Batched squared distances from x (n elements) to `count` points stored by
// column in blocks of `block` points (block > 0) with `rows` >= n components
// each: component i of point c is
// cols[(c / block) * block * rows + i * block + c % block]. With
// block >= count the points form one block, component i of point c at
// cols[i * block + c], and rows does not matter.
// Writes out[c] = (float)l2sq_f32(x, point c, n), bit for bit.
void l2sq_f32_columns(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                      size_t count, float* out);

// Index of the point nearest to x, points stored as for l2sq_f32_columns:
// the first c with the smallest (float)l2sq_f32(x, point c, n), comparing
// with strict < from the largest finite float, so NaN distances never win;
// 0 when none is smaller.
size_t nearest_f32_columns(const float* x, size_t n, const float* cols, size_t block, size_t rows,
                           size_t count);

// nearest_f32_columns for `slices` consecutive slices of x, each against
// its own points with rows == n: out[s] = nearest_f32_columns(x + s * n, n,
// cols + s * n * count, block, n, count). count is at most 256 and a
// multiple of block.
void nearest_f32_columns_batch(const float* x, size_t n, const float* cols, size_t block,
                               size_t count, size_t slices, uint8_t* out);

// The 32 dot products of an LSH hash: planes holds 32 hyperplanes by column
// (component j of hyperplane h is planes[j * 32 + h]). For each h,
// out[h] = sum over j < n of float(v[j] * plane_h[j]), every product rounded
// to float and added in ascending j, starting from 0.0f.
void dot32_f32(const float* v, const float* planes, size_t n, float* out);

// Name of the instruction set the dispatcher chose, e.g. "AVX2".
const char* target_name();

}  // namespace ostrel::kernels
