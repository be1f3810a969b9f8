// VectorStorage: the vector of every document, addressed by document id.
//
// Raw mode keeps each vector as given (float32). When an add finds the raw
// slot count (highest stored id + 1, empty slots included) at
// `quantization_threshold`, the storage switches once and for good to
// quantized mode: a ProductQuantizer is trained on the stored vectors, every
// stored vector is replaced by its code (num_subspaces bytes), the raw
// vectors are freed, and later vectors are stored as codes only. The switch
// prints "Activating quantization at 5000 vectors...\n" on file descriptor 1.
//
// Representation: rows in id-addressed pages (SlotTable), one row of
// `dimension` floats (raw) or of num_subspaces bytes (quantized) per stored
// document. Empty vectors (stored while the database had no dimension) are
// kept as a set of ids. A store that cannot get memory fails with kNoMemory
// and leaves the storage as it was.
//
// Thread safety: store() is a writer; compute_similarity(), score() and the
// other const methods are readers and may run on many threads at once.
// Locks: quantizer_mu_ before codes_mu_ before vectors_mu_, never the other
// way round. store() holds quantizer_mu_ exclusively for its whole run, so a
// reader sees either the complete raw or the complete quantized state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "quantize.h"
#include "slot_table.h"
#include "status.h"
#include "types.h"

namespace ostrel {

class VectorStorage {
 public:
  static constexpr size_t QUANTIZATION_THRESHOLD = 5000;
  static constexpr size_t NOMINAL_DIMENSION = 768;

  VectorStorage();

  // Stores `vector` under `id`, replacing what the slot held; activates
  // quantization first when the raw slots have reached the threshold.
  // REQUIRES: every non-empty vector stored has the same length.
  Status store(uint32_t id, std::span<const float> vector);

  // Score of document `id` for `query`, or nullopt when it has no vector.
  // Raw: cosine similarity (on the common prefix when lengths differ).
  // Quantized: 1 - min(sqrt(sum of sub-space squared distances) / 4, 1).
  std::optional<float> compute_similarity(std::span<const float> query, uint32_t id) const;

  // What one query needs to score many candidates: in quantized mode, the
  // distance from each query slice to every centroid (64 x 256 floats).
  struct QueryTable {
    const ProductQuantizer* quantizer = nullptr;  // the table is for this quantizer
    size_t used = 0;                              // sub-spaces the query reaches
    std::vector<float> distances;                 // [sub-space][centroid]
  };

  // Builds the table for `query` when scoring `candidates` ids is cheaper
  // with it; an empty table otherwise. Throws std::bad_alloc.
  QueryTable prepare(std::span<const float> query, size_t candidates) const;

  // Appends (id, score) for every id of `ids` that has a vector, in order;
  // each score equals compute_similarity(query, id) bit for bit. With a
  // prepared table for the current quantizer, allocates nothing beyond
  // `out`'s growth.
  void score(std::span<const float> query, std::span<const uint32_t> ids,
             std::vector<ScoredPair>* out, const QueryTable* table = nullptr) const;

  // Ids holding a vector or code.
  Roaring stored_ids() const;

  bool quantized() const;
  uint64_t raw_slot_count() const;
  size_t memory_bytes() const;
  // Code stored under `id` (empty when none); for tests and tools.
  std::vector<uint8_t> code_of(uint32_t id) const;

 private:
  Status activate_if_due();  // REQUIRES: quantizer_mu_ held exclusively
  Status store_raw(uint32_t id, std::span<const float> vector);
  Status store_code(uint32_t id, std::span<const float> vector);
  float score_raw(std::span<const float> query, std::span<const float> v) const;
  float score_code(std::span<const float> query, const uint8_t* code) const;
  QueryTable make_table(std::span<const float> query) const;  // REQUIRES: quantizer_ set
  void score_codes_with_table(const QueryTable& table, std::span<const uint32_t> ids,
                              std::vector<ScoredPair>* out) const;

  mutable std::shared_mutex quantizer_mu_;
  std::unique_ptr<ProductQuantizer> quantizer_;  // GUARDED_BY(quantizer_mu_)

  mutable std::shared_mutex codes_mu_;
  SlotTable<uint8_t> codes_;  // GUARDED_BY(codes_mu_)

  mutable std::shared_mutex vectors_mu_;
  SlotTable<float> vectors_;  // GUARDED_BY(vectors_mu_); row length = the dimension
  Roaring empty_vectors_;     // GUARDED_BY(vectors_mu_)
  uint64_t raw_slots_ = 0;    // GUARDED_BY(vectors_mu_)

  Roaring stored_;  // GUARDED_BY(quantizer_mu_): ids with a vector or code
};

}  // namespace ostrel
