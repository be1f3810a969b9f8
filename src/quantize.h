// ProductQuantizer: compresses a vector into one byte per sub-space.
//
// The components are cut into consecutive sub-spaces of SUBSPACE_DIM (12),
// laid out over the nominal dimension (768 -> 64 sub-spaces); each sub-space
// is replaced by the index of the nearest of 256 centroids. Codebooks start
// as deterministic pseudo-random unit vectors (seed 54321) and are then
// replaced, for the sub-spaces the data covers, by up to 256 evenly spaced
// samples of the training vectors, kept exactly as sampled (not normalised:
// stored vectors and queries are not normalised either, so a normalised
// sample would sit far from the data it stands for). Sub-spaces with fewer
// than 256 samples are padded with zero centroids. There is no refinement.
//
// A centroid has 12 components, except sampled centroids of the sub-space
// that contains the end of the training data, which have that sub-space's
// length; centroids are stored by column, zero-padded to 12 components.
//
// Thread safety: immutable after train(); encode() and all readers may run
// concurrently.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ostrel {

class ProductQuantizer {
 public:
  static constexpr size_t SUBSPACE_DIM = 12;
  static constexpr size_t CENTROIDS = 256;
  static constexpr uint32_t CODEBOOK_SEED = 54321;

  // Builds the quantizer for `nominal_dimension` from training vectors given
  // in ascending id order. Empty training vectors carry no components and
  // are left out; all others must share one length (the database's
  // dimension). Throws std::bad_alloc when memory runs out.
  static std::unique_ptr<ProductQuantizer> train(
      size_t nominal_dimension, const std::vector<std::span<const float>>& training);

  size_t num_subspaces() const { return num_subspaces_; }
  size_t subspace_dim() const { return SUBSPACE_DIM; }

  // Writes the code of `vector` (num_subspaces() bytes) to `code`.
  void encode(std::span<const float> vector, uint8_t* code) const;
  std::vector<uint8_t> encode(std::span<const float> vector) const;

  // Centroid `c` of sub-space `s`: 12 floats, zero beyond centroid_len().
  std::array<float, SUBSPACE_DIM> centroid(size_t s, size_t c) const {
    std::array<float, SUBSPACE_DIM> out;
    const float* col = columns(s);
    for (size_t i = 0; i < SUBSPACE_DIM; ++i) out[i] = col[i * CENTROIDS + c];
    return out;
  }
  size_t centroid_len(size_t s, size_t c) const { return lens_[s * CENTROIDS + c]; }
  // Shortest centroid of sub-space `s`.
  size_t min_centroid_len(size_t s) const { return min_lens_[s]; }
  // Sub-space `s` by column: component i of centroid c is columns(s)[i * 256 + c].
  const float* columns(size_t s) const { return cols_.data() + s * SUBSPACE_DIM * CENTROIDS; }

  // Squared distances (narrowed to float) from the slice query[start, end)
  // of sub-space `s` to each of its 256 centroids, each centroid compared on
  // at most its own length.
  void subspace_distances(size_t s, std::span<const float> slice, float* out) const;

 private:
  ProductQuantizer() = default;
  void init_codebooks(size_t nominal_dimension);
  void train_on(const std::vector<std::span<const float>>& vectors);
  void set_centroid(size_t s, size_t c, const float* values, size_t len);

  size_t num_subspaces_ = 0;
  std::vector<float> cols_;        // [s][i][c]
  std::vector<uint8_t> lens_;      // [s][c]
  std::vector<uint8_t> min_lens_;  // [s]
};

}  // namespace ostrel
