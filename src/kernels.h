// Distance kernels over float32 arrays, chosen at run time for the CPU
// (Highway dynamic dispatch: AVX-512, AVX2, SSE4, NEON or scalar).
//
// Arithmetic: products and differences are taken in double precision and
// accumulated in eight interleaved partial sums (partial k takes the elements
// i with i % 8 == k, in ascending i), which are then combined as
// ((p0+p1)+(p2+p3))+((p4+p5)+(p6+p7)). Every target performs exactly these
// IEEE operations, so results are bit-identical across CPUs, and the batched
// form below gives bit-identical values to the single-pair form.
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
// column: component i of point c is cols[i * stride + c]. Writes
// out[c] = (float)l2sq_f32(x, point c, n), bit for bit.
void l2sq_f32_columns(const float* x, size_t n, const float* cols, size_t stride, size_t count,
                      float* out);

// The 32 dot products of an LSH hash: planes holds 32 hyperplanes by column
// (component j of hyperplane h is planes[j * 32 + h]). For each h,
// out[h] = sum over j < n of float(v[j] * plane_h[j]), every product rounded
// to float and added in ascending j, starting from 0.0f.
void dot32_f32(const float* v, const float* planes, size_t n, float* out);

// Name of the instruction set the dispatcher chose, e.g. "AVX2".
const char* target_name();

}  // namespace ostrel::kernels
