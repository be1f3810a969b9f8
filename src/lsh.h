// LSH: the random-hyperplane candidate index.
//
// Every added id is filed under the 32-bit sign pattern of its vector
// against 32 fixed hyperplanes (seed 12345; one table). A query collects the
// ids of its own bucket and of the 16 buckets one flipped bit (0..15) away,
// then, when fewer than limit / 2 were found, scans 20 buckets; collection
// stops as soon as `limit` distinct ids are held.
//
// Scan order: the buckets nearest the query's code, by increasing Hamming
// distance, equal distances by ascending code value. The exact bucket and
// the probed ones are among them: visiting them again adds no id but counts
// toward the 20, as an emptied bucket does. The order is exact (not an
// approximation) and depends only on the query's code and the set of codes
// ever filed, so results are deterministic.
//
// Hashing follows a fixed float32 arithmetic (each product rounded, then
// added in index order, per hyperplane): the hyperplanes are stored by
// column so one pass over the vector advances all 32 sums in SIMD lanes.
//
// Buckets map a hash code to the ids filed under it, in insertion order,
// duplicates allowed; buckets are never deleted, even when emptied.
//
// Thread safety: none of its own; the owner locks. insert and remove_all
// need exclusive access; the const methods may run concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "status.h"

namespace ostrel {

// CodeIndex: distinct 32-bit codes, each with a 32-bit value, that finds
// the codes nearest a query in Hamming distance without looking at every
// code.
//
// Representation: a multi-index over the two 16-bit halves of a code. For
// each half, the codes are listed by `key_bits` bits of that half (key_bits
// grows with the set, up to 16, keeping lists short); the lists of a half
// share one array, each list in a slot of capacity a rung of a ladder a
// quarter apart, moved to the end of the array when it fills (the array is
// compacted when an eighth of it is stale). Half 0 keeps each code's value
// beside it, so finding a code reads one list. A code within distance d of
// the query has a half within distance floor(d / 2) of the query's half
// (pigeonhole), so reading the lists of both halves by increasing key
// radius r finds every code within distance 2r + 1; the search stops at the
// first radius that holds enough codes, or sweeps every code when that is
// cheaper. Reading a list costs one or two cache misses whatever its
// length. About 17 to 22 bytes per code, value included.
//
// Thread safety: none; the owner locks. add() throws std::bad_alloc and then
// leaves the set unchanged.
class CodeIndex {
 public:
  size_t size() const { return size_; }

  // Adds `code` with `value`; returns where the value is kept (valid until
  // the next add). REQUIRES: `code` is not in the set.
  uint32_t* add(uint32_t code, uint32_t value);

  // The value of `code`, or nullptr when it is not in the set.
  uint32_t* find(uint32_t code);
  const uint32_t* find(uint32_t code) const { return const_cast<CodeIndex*>(this)->find(code); }

  // Calls f(uint32_t& value) for every code's value.
  template <typename F>
  void for_each_value(F&& f);

  // The min(count, size()) codes nearest `query`: increasing Hamming
  // distance, equal distances by ascending code. Replaces `out`'s contents.
  void nearest(uint32_t query, size_t count, std::vector<uint32_t>* out) const;

  size_t memory_bytes() const;

 private:
  static constexpr int HALF_BITS = 16;
  static constexpr int MIN_KEY_BITS = 4;

  // The codes of one half, listed by key. segs[key] = begin | size << 32.
  // Half 0 keeps each code's value beside it (values[i] for slots[i]).
  struct Lists {
    std::vector<uint64_t> segs;
    std::vector<uint32_t> slots;
    std::vector<uint32_t> values;  // half 0 only
    size_t stale = 0;              // slots left behind by lists that moved
    std::span<const uint32_t> list(uint32_t key) const {
      return {slots.data() + uint32_t(segs[key]), size_t(segs[key] >> 32)};
    }
  };

  uint32_t key(uint32_t code, int half) const {
    return (code >> (half * HALF_BITS)) & ((uint32_t{1} << key_bits_) - 1);
  }
  // Both halves rebuilt with `key_bits`, every list at its least capacity.
  void rebuild(int key_bits);
  void sweep(uint32_t query, size_t count, std::vector<uint32_t>* out) const;

  size_t size_ = 0;
  int key_bits_ = MIN_KEY_BITS;
  Lists halves_[2];
};

template <typename F>
void CodeIndex::for_each_value(F&& f) {
  Lists& h = halves_[0];
  for (uint64_t s : h.segs) {
    for (uint64_t i = uint32_t(s), end = i + (s >> 32); i < end; ++i) f(h.values[i]);
  }
}

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
  uint64_t hash_vector(std::span<const float> vector) const;

  // Files `id` under the vector's code. Fails with kNoMemory only.
  Status insert(std::span<const float> vector, uint32_t id);
  // Files `id` under `code` (what insert() does after hashing).
  Status insert_code(uint32_t code, uint32_t id);

  // At most `limit` distinct ids, in the order they were first found. With
  // `wanted`, when the ids of the exact and probed buckets could not reach
  // `wanted` even after the scan (each of its buckets holding at most as
  // many ids as the fullest bucket ever did), the scan is skipped: the
  // result then has fewer than `wanted` ids either way, and a caller that
  // only needs to know that is spared the search for the nearest buckets.
  std::vector<uint32_t> query_candidates(std::span<const float> vector, uint64_t limit,
                                         uint64_t wanted = 0) const;
  std::vector<uint32_t> query_code(uint32_t code, uint64_t limit, uint64_t wanted = 0) const;

  // Removes every occurrence of the ids from every bucket, in one pass.
  void remove_all(const Roaring& ids);

  size_t memory_bytes() const;

 private:
  // A bucket, the ids filed under one code, is one word kept with the code:
  // most buckets of a 32-bit code hold a single id, kept inline; a bucket
  // that ever held two or more (or one id from OVERFLOW_TAG on) keeps them
  // in the overflow lists. The word is the id, below OVERFLOW_TAG;
  // OVERFLOW_TAG | list index; or EMPTY (no id).
  static constexpr uint32_t OVERFLOW_TAG = 0x80000000u;
  static constexpr uint32_t EMPTY = 0xFFFFFFFFu;
  static bool overflowed(uint32_t bucket) {
    return bucket != EMPTY && (bucket & OVERFLOW_TAG) != 0;
  }
  using Ids = std::span<const uint32_t>;

  Ids ids_of(const uint32_t& bucket) const;
  void push(uint32_t& bucket, uint32_t id);
  template <typename Drop>
  void erase_if(Drop&& drop);

  size_t dim_;
  std::vector<float> planes_;                    // component j of hyperplane h at [j * 32 + h]
  CodeIndex buckets_;                            // code -> bucket
  uint64_t fullest_ = 0;                         // most ids a bucket ever held
  std::vector<std::vector<uint32_t>> overflow_;  // ids of buckets with 2+
};

}  // namespace ostrel
