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
// length; centroids are stored by column in blocks of 16 (one 16-float
// vector per component, the widest any x86 target has), zero-padded to 12
// components.
//
// Thread safety: immutable after train(); encode() and all readers may run
// concurrently.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace ostrel {

// Allocates on 64-byte boundaries, so that a block's 16-float rows are whole
// cache lines.
template <class T>
struct CacheLineAllocator {
  using value_type = T;
  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}
  T* allocate(size_t n) {
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{64}));
  }
  void deallocate(T* p, size_t) { ::operator delete (p, std::align_val_t{64}); }
  bool operator==(const CacheLineAllocator&) const = default;
};

class ProductQuantizer {
 public:
  static constexpr size_t SUBSPACE_DIM = 12;
  static constexpr size_t CENTROIDS = 256;
  static constexpr size_t BLOCK = 16;  // centroids per block
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
    const float* block = columns(s) + c / BLOCK * BLOCK * SUBSPACE_DIM;
    for (size_t i = 0; i < SUBSPACE_DIM; ++i) out[i] = block[i * BLOCK + c % BLOCK];
    return out;
  }
  size_t centroid_len(size_t s, size_t c) const { return lens_[s * CENTROIDS + c]; }
  // Shortest centroid of sub-space `s`.
  size_t min_centroid_len(size_t s) const { return min_lens_[s]; }
  // Sub-space `s` by column in blocks of BLOCK centroids: component i of
  // centroid c is columns(s)[c / 16 * 16 * 12 + i * 16 + c % 16].
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
  std::vector<float, CacheLineAllocator<float>> cols_;  // [s][c / 16][i][c % 16]
  std::vector<uint8_t> lens_;                           // [s][c]
  std::vector<uint8_t> min_lens_;                       // [s]
};

}  // namespace ostrel
