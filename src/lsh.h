// LSH: the random-hyperplane candidate index.
//
// Every added id is filed under the 32-bit sign pattern of its vector
// against 32 fixed hyperplanes (seed 12345; one table). A query collects the
// ids of its own bucket and of the 16 buckets one flipped bit (0..15) away,
// then, when fewer than limit / 2 were found, the ids of the first 20
// buckets in the table's iteration order; collection stops as soon as
// `limit` distinct ids are held.
//
// Hashing follows a fixed float32 arithmetic (each product rounded, then
// added in index order, per hyperplane): the hyperplanes are stored by
// column so one pass over the vector advances all 32 sums in SIMD lanes.
//
// Buckets map a hash code to the ids filed under it, in insertion order,
// duplicates allowed; buckets are never deleted, even when emptied.
//
// Thread safety: hyperplanes are immutable after construction. The buckets
// have one reader-writer lock: insert/remove/remove_all take it exclusively,
// query_candidates shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "flat_map.h"
#include "status.h"

namespace ostrel {

class LSH {
 public:
  static constexpr size_t NUM_TABLES = 1;
  static constexpr size_t NUM_BITS = 32;
  static constexpr size_t PROBED_BITS = 16;
  static constexpr size_t SCAN_ENTRIES = 20;
  static constexpr uint32_t HYPERPLANE_SEED = 12345;

  explicit LSH(size_t dim);
  ~LSH();
  LSH(const LSH&) = delete;
  LSH& operator=(const LSH&) = delete;

  size_t dim() const { return dim_; }

  // Sign pattern of `vector` (common prefix with the hyperplanes only).
  uint64_t hash_vector(std::span<const float> vector, size_t table = 0) const;

  // Files `id` under the vector's code. Fails with kNoMemory only.
  Status insert(std::span<const float> vector, uint32_t id);

  // At most `limit` distinct ids, in the order they were first found.
  std::vector<uint32_t> query_candidates(std::span<const float> vector, uint64_t limit) const;

  // Removes every occurrence of the id(s) from every bucket, in one pass.
  void remove(uint32_t id);
  void remove_all(const Roaring& ids);

  size_t bucket_count() const;
  size_t memory_bytes() const;

 private:
  // The ids of one bucket, 8 bytes: most buckets of a 32-bit code hold a single
  // id, which is kept inline; a bucket that ever held two or more keeps them in
  // the index's overflow lists.
  struct Bucket {
    static constexpr uint32_t kOverflow = 0x80000000u;
    uint32_t tag = 0;  // kOverflow | list index, or the id count (0 or 1)
    uint32_t id = 0;   // the id when the count is 1
  };
  using Buckets = FlatMap<uint32_t, Bucket>;  // codes have 32 bits
  using Ids = std::span<const uint32_t>;

  Ids ids_of(const Bucket& b) const;  // REQUIRES: mu_ held
  void push(Bucket& b, uint32_t id);  // REQUIRES: mu_ held exclusively
  template <typename Drop>
  void erase_if(Bucket& b, Drop&& drop);  // REQUIRES: mu_ held exclusively

  size_t dim_;
  std::vector<float> planes_;  // component j of hyperplane h at [j * 32 + h]
  mutable std::shared_mutex mu_;
  std::vector<Buckets> tables_;                  // GUARDED_BY(mu_)
  std::vector<std::vector<uint32_t>> overflow_;  // GUARDED_BY(mu_): ids of buckets with 2+
};

}  // namespace ostrel
