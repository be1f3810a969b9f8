#include "quantize.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "kernels.h"
#include "uniform.h"

namespace ostrel {
namespace {

// Divides by the length (squares summed in order in float) when it is > 0.
void normalise(float* v, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += v[i] * v[i];
  if (sum > 0.0f) {
    const float norm = std::sqrt(sum);
    for (size_t i = 0; i < n; ++i) v[i] /= norm;
  }
}

}  // namespace

std::unique_ptr<ProductQuantizer> ProductQuantizer::train(
    size_t nominal_dimension, const std::vector<std::span<const float>>& training) {
  std::unique_ptr<ProductQuantizer> pq(new ProductQuantizer());
  pq->init_codebooks(nominal_dimension);
  std::vector<std::span<const float>> vectors;
  vectors.reserve(training.size());
  for (const auto& v : training)
    if (!v.empty()) vectors.push_back(v);
  pq->train_on(vectors);
  return pq;
}

void ProductQuantizer::set_centroid(size_t s, size_t c, const float* values, size_t len) {
  float* block = cols_.data() + s * SUBSPACE_DIM * CENTROIDS + c / BLOCK * BLOCK * SUBSPACE_DIM;
  for (size_t i = 0; i < SUBSPACE_DIM; ++i) {
    const float x = i < len ? values[i] : 0.0f;
    block[i * BLOCK + c % BLOCK] = x;
  }
  lens_[s * CENTROIDS + c] = static_cast<uint8_t>(len);
}

void ProductQuantizer::init_codebooks(size_t nominal_dimension) {
  num_subspaces_ = (nominal_dimension + SUBSPACE_DIM - 1) / SUBSPACE_DIM;
  cols_.assign(num_subspaces_ * CENTROIDS * SUBSPACE_DIM, 0.0f);
  lens_.assign(num_subspaces_ * CENTROIDS, 0);
  min_lens_.assign(num_subspaces_, SUBSPACE_DIM);
  UniformGenerator gen(CODEBOOK_SEED);  // one stream for every sub-space
  float centroid[SUBSPACE_DIM];
  for (size_t s = 0; s < num_subspaces_; ++s) {
    for (size_t c = 0; c < CENTROIDS; ++c) {
      for (float& x : centroid) x = gen.next();
      normalise(centroid, SUBSPACE_DIM);
      set_centroid(s, c, centroid, SUBSPACE_DIM);
    }
  }
}

void ProductQuantizer::train_on(const std::vector<std::span<const float>>& vectors) {
  const size_t n = vectors.size();
  if (n == 0) return;
  const size_t length = vectors[0].size();
  const size_t step = std::max<size_t>(n / CENTROIDS, 1);
  static const float kZero[SUBSPACE_DIM] = {};
  for (size_t s = 0; s < num_subspaces_; ++s) {
    const size_t start = s * SUBSPACE_DIM;
    if (start >= length) break;
    const size_t end = std::min(start + SUBSPACE_DIM, length);
    size_t taken = 0;
    for (size_t i = 0; i < n && taken < CENTROIDS; i += step) {
      if (vectors[i].size() < end) continue;  // cannot happen for one shared length
      set_centroid(s, taken++, vectors[i].data() + start, end - start);
    }
    for (; taken < CENTROIDS; ++taken) set_centroid(s, taken, kZero, SUBSPACE_DIM);
    min_lens_[s] = static_cast<uint8_t>(
        *std::min_element(lens_.begin() + s * CENTROIDS, lens_.begin() + (s + 1) * CENTROIDS));
  }
}

void ProductQuantizer::subspace_distances(size_t s, std::span<const float> slice,
                                          float* out) const {
  if (slice.size() <= min_lens_[s]) {
    kernels::l2sq_f32_columns(slice.data(), slice.size(), columns(s), BLOCK, SUBSPACE_DIM,
                              CENTROIDS, out);
    return;
  }
  // A slice longer than some centroid (a vector longer than the training
  // data): compare each centroid on its own length only.
  for (size_t c = 0; c < CENTROIDS; ++c) {
    const size_t len = std::min(slice.size(), centroid_len(s, c));
    out[c] = static_cast<float>(kernels::l2sq_f32(slice.data(), centroid(s, c).data(), len));
  }
}

void ProductQuantizer::encode(std::span<const float> vector, uint8_t* code) const {
  // The leading sub-spaces with a whole slice and whole centroids (all of
  // them unless the vector or the training data is short) in one call.
  size_t whole = 0;
  while (whole < num_subspaces_ && (whole + 1) * SUBSPACE_DIM <= vector.size() &&
         min_lens_[whole] == SUBSPACE_DIM) {
    ++whole;
  }
  kernels::nearest_f32_columns_batch(vector.data(), SUBSPACE_DIM, cols_.data(), BLOCK, CENTROIDS,
                                     whole, code);
  float distances[CENTROIDS];
  for (size_t s = whole; s < num_subspaces_; ++s) {
    const size_t start = s * SUBSPACE_DIM;
    if (start >= vector.size()) {
      code[s] = 0;
      continue;
    }
    const std::span<const float> slice =
        vector.subspan(start, std::min(SUBSPACE_DIM, vector.size() - start));
    if (slice.size() <= min_lens_[s]) {
      code[s] = static_cast<uint8_t>(kernels::nearest_f32_columns(
          slice.data(), slice.size(), columns(s), BLOCK, SUBSPACE_DIM, CENTROIDS));
      continue;
    }
    subspace_distances(s, slice, distances);
    float best = FLT_MAX;
    size_t index = 0;
    for (size_t c = 0; c < CENTROIDS; ++c) {
      if (distances[c] < best) {  // strict: ties keep the lowest index; NaN never wins
        best = distances[c];
        index = c;
      }
    }
    code[s] = static_cast<uint8_t>(index);
  }
}

std::vector<uint8_t> ProductQuantizer::encode(std::span<const float> vector) const {
  std::vector<uint8_t> code(num_subspaces_);
  encode(vector, code.data());
  return code;
}

}  // namespace ostrel
