// VectorStorage: the vector of every document, addressed by row (the dense
// document number of id_map.h).
//
// Raw mode keeps each vector as given (float32). When an add finds
// Options::QUANTIZATION_THRESHOLD rows holding a vector (distinct documents, empty
// vectors and deleted documents included), the storage switches once and
// for good to quantized mode: a ProductQuantizer is trained on the stored
// vectors in ascending document-id order, every stored vector is replaced by
// its code, the raw vectors are freed, and later vectors are stored as codes
// only. The switch prints "Activating quantization at 5000 vectors...\n" on
// file descriptor 1.
//
// Representation: rows in pages (SlotTable), one row of `dimension` floats
// (raw) or of the code's bytes (quantized) per stored document. A code keeps
// only the bytes of the sub-spaces the database's dimension reaches
// (ceil(dimension / 12), at most 64): the others are 0 by construction, and
// scoring reads them as 0. Codes lie by column in blocks of CODE_BLOCK rows
// (the block's byte 0 of each row, then its byte 1, ...), so that scoring
// reads the codes of side-by-side rows through one pointer. Empty vectors
// (stored while the database had no dimension) are kept as a set of rows. A
// store that cannot get memory fails with kNoMemory and leaves the storage
// as it was.
//
// Thread safety: none of its own; the owner locks (one lock per database).
// store() needs exclusive access; the const methods may run on many threads
// at once, score() itself spreads its work over the pool's workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "options.h"
#include "quantize.h"
#include "slot_table.h"
#include "status.h"
#include "thread_pool.h"
#include "types.h"

namespace ostrel {

// The rows score() visits, in order: a list (any order, no repeats); every
// row of a set in ascending order; or the rows below a bound in ascending
// order, those of an excluded set left out. Nothing is copied: the caller
// keeps them alive.
class RowSequence {
 public:
  RowSequence(std::span<const uint32_t> list) : list_(list), size_(list.size()) {}
  explicit RowSequence(const Roaring& set) : set_(&set), size_(set.cardinality()) {}
  // REQUIRES: end <= 2^32.
  RowSequence(uint64_t end, const Roaring& excluded) : excluded_(&excluded), size_(end) {}

  // Positions in the sequence, each giving at most one row: the rows of a
  // list or a set; the bound of a range, where an excluded row holds a
  // position and gives no row. Up to 2^32, hence 64 bits on every target.
  uint64_t size() const { return size_; }

  // A stretch of consecutive positions and the rows they gave. A stretch of
  // excluded rows gives none: only `positions` == 0 means the end.
  struct Slice {
    uint64_t positions;
    std::span<const uint32_t> rows;
  };

  // Reads the rows of positions [begin, end) in order, a slice at a time.
  class Reader {
   public:
    Reader(const RowSequence& rows, uint64_t begin, uint64_t end);
    // The next `room` positions at most (none at the end), their rows read
    // into `buffer` (room for `room`) unless they are a list already.
    Slice next(uint32_t* buffer, size_t room);

   private:
    const RowSequence& rows_;
    uint64_t at_, end_;
    roaring_uint32_iterator_t it_{};  // a set's next row, or a range's next excluded row
  };

 private:
  std::span<const uint32_t> list_;
  const Roaring* set_ = nullptr;
  const Roaring* excluded_ = nullptr;
  uint64_t size_;
};

class VectorStorage {
 public:
  // The document id of a row: activation trains on the stored vectors in
  // ascending id order. Empty: the row is the id.
  using IdOfRow = std::function<uint32_t(uint32_t row)>;

  VectorStorage();

  // Stores `vector` under `row`, replacing what the row held; activates
  // quantization first when enough rows hold a vector.
  // REQUIRES: every non-empty vector stored has the same length.
  Status store(uint32_t row, std::span<const float> vector, const IdOfRow& id_of = {});

  // Score of document `row` for `query`, or nullopt when it has no vector.
  // Raw: cosine similarity (on the common prefix when lengths differ).
  // Quantized: 1 - min(sqrt(sum of sub-space squared distances) / 4, 1).
  std::optional<float> compute_similarity(std::span<const float> query, uint32_t row) const;

  // Receives scored pairs: `piece` numbers the contiguous piece of the rows
  // the block belongs to; blocks of one piece come in order, from one thread.
  using Sink = std::function<void(size_t piece, std::span<const ScoredPair> block)>;
  // The lowest score piece `piece` still wants, once it knows one (nullopt:
  // every score). Pairs below it may be left out. It may only rise as the
  // piece's blocks are taken.
  using Floor = std::function<std::optional<float>(size_t piece)>;

  // The machine's plan for scoring `n` positions: on the process-wide pool
  // beyond Options::PARALLEL_SCORING_THRESHOLD, a few pieces per thread.
  static ScoringPlan plan_for(uint64_t n);
  // Positions per piece when `n` are cut into `pieces`: a multiple of
  // ROWS_PER_GROUP, so that runs of rows stay whole (the last pieces may hold
  // fewer, or none).
  static uint64_t piece_length(uint64_t n, uint64_t pieces);

  // Scores every row of `rows` that holds a vector, each score equal to
  // compute_similarity() bit for bit, and hands the pairs to `sink` in the
  // order of `rows`, cut into the plan's pieces. With a pool the pieces run
  // on its workers and on the calling thread at once; the sink must then be
  // safe for that (a sink per piece). With a floor (and the plan's
  // shortcuts), quantized rows whose partial distance already puts them
  // below it are dropped before their last sub-spaces are read. Nothing is
  // allocated per row. Throws std::bad_alloc when the per-query distance
  // table cannot be allocated or the sink failed.
  void score(std::span<const float> query, const RowSequence& rows, const ScoringPlan& plan,
             const Sink& sink, const Floor& floor = {}) const;

  static constexpr size_t ROWS_PER_GROUP = 8;  // rows whose codes are summed side by side

  // Rows holding a vector or code.
  const Roaring& stored_rows() const { return stored_; }

  bool quantized() const;
  size_t memory_bytes() const;
  // The code of `row`, all num_subspaces bytes (empty when none); for tests.
  std::vector<uint8_t> code_of(uint32_t row) const;

 private:
  // What one query needs to score many rows: in quantized mode, the
  // distance from each query slice to every centroid.
  struct QueryTable {
    size_t used = 0;               // sub-spaces the query reaches
    std::vector<float> distances;  // [sub-space][centroid]
  };

  Status activate_if_due(const IdOfRow& id_of);
  Status store_raw(uint32_t row, std::span<const float> vector);
  Status store_code(uint32_t row, std::span<const float> vector);
  // Rows per block of codes; byte s of a code lies s * CODE_BLOCK bytes after
  // its byte 0.
  static constexpr size_t CODE_BLOCK = 16;
  static_assert(SlotTable<uint8_t>::MIN_ROWS_PER_PAGE % CODE_BLOCK == 0);
  // The code of `row`, given the slot the table keeps for it.
  const uint8_t* code_at(const uint8_t* slot, uint32_t row) const {
    const size_t g = row % CODE_BLOCK;
    return slot - g * code_len_ + g;
  }
  uint8_t* code_at(uint8_t* slot, uint32_t row) const {
    return const_cast<uint8_t*>(code_at(static_cast<const uint8_t*>(slot), row));
  }
  const uint8_t* find_code(uint32_t row) const {
    const uint8_t* slot = codes_.find(row);
    return slot == nullptr ? nullptr : code_at(slot, row);
  }
  uint8_t code_byte(const uint8_t* code, size_t s) const {
    return s < code_len_ ? code[s * CODE_BLOCK] : 0;
  }
  // Writes the first code_len_ bytes of `code` as the code of `row`.
  Status put_code(uint32_t row, const uint8_t* code);
  float score_raw(std::span<const float> query, std::span<const float> v) const;
  float score_code(std::span<const float> query, const uint8_t* code) const;
  QueryTable make_table(std::span<const float> query) const;  // REQUIRES: quantizer_ set
  // One piece of score(), positions [begin, end) of the sequence, on the
  // thread that runs it; no allocation. `table` null: the plain path.
  void score_piece(std::span<const float> query, const QueryTable* table, const RowSequence& rows,
                   uint64_t begin, uint64_t end, size_t piece, const Sink& sink,
                   const Floor& floor) const;
  class Emitter;
  void score_by_table(const QueryTable& table, const RowSequence& rows, uint64_t begin,
                      uint64_t end, Emitter& emit) const;

  // Quantized mode: quantizer_ set, codes_ in use, vectors_ empty.
  std::unique_ptr<ProductQuantizer> quantizer_;
  size_t code_len_ = 0;  // bytes kept per code
  SlotTable<uint8_t> codes_;

  // Raw mode.
  SlotTable<float> vectors_;  // row length = the dimension
  Roaring empty_vectors_;

  Roaring stored_;  // rows with a vector or code
};

}  // namespace ostrel
