// IntervalTree: the range index of one numeric metadata field.
//
// Built in bulk from (value, id) pairs; immutable afterwards. Values are
// grouped: after a stable sort by value, a group starts at a value `key` and
// takes every following value v with |v - key| < GROUP_TOLERANCE (absolute,
// strict, always against the group's first value), so each id behaves as if
// its value were its group's key. An id given with several values behaves as
// its smallest: it belongs to every node from that key upward.
//
// Node i stands for the cumulative set "ids grouped under key i or below".
// Storing that set per node would cost memory quadratic in the number of
// distinct keys, so the representation is linear in the number of ids:
//   keys_  the group keys, strictly ascending;
//   ids_   the distinct ids, ordered by the index of the group of their
//          smallest value, ascending within a group;
//   ends_  per key, the end of its run: node i's cumulative set is the prefix
//          ids_[0, ends_[i]) and the ids grouped under key i alone are
//          ids_[ends_[i-1], ends_[i]) (a run may be empty);
//   all_   every id of ids_ as a set;
//   blocks_ the ids of consecutive runs cut into about 64 blocks (at node
//          boundaries, block_pos_ gives where each starts in ids_), each as
//          a set: a range answer is the union of the whole blocks it covers
//          plus at most two partial blocks built from sorted slices.
// Answers are new sets; nothing hands out a reference into the tree.
//
// Failure: memory exhaustion surfaces as std::bad_alloc (standard
// containers) or std::runtime_error (Roaring copies); callers that return a
// Status catch them at their operation boundary.
//
// Thread safety: immutable after build(); any number of concurrent readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include <roaring/roaring.hh>

namespace ostrel {

inline constexpr double GROUP_TOLERANCE = 1e-9;

class IntervalTree {
 public:
  using Pair = std::pair<double, uint32_t>;  // (value, id)

  // REQUIRES: every value is finite (a NaN value is dropped; infinities of
  // one sign form one group). Fewer than 2^32 pairs.
  static IntervalTree build(std::vector<Pair> pairs);

  size_t node_count() const { return keys_.size(); }
  double key(size_t node) const { return keys_[node]; }
  const std::vector<double>& keys() const { return keys_; }

  // Ids whose value is below / at or below / above / at or above `bound`
  // for "$lt" / "$lte" / "$gt" / "$gte"; any other operator gives {}.
  Roaring range_query(std::string_view op, double bound) const;

  // Ids grouped under node `node` alone (its cumulative set minus the
  // previous node's). REQUIRES: node < node_count().
  Roaring ids_of_node(size_t node) const;

  // Ids grouped under nodes [0, count): the cumulative set of node count-1.
  // REQUIRES: count <= node_count().
  Roaring ids_up_to(size_t count) const;

  // (key, id) pairs in ascending key order that rebuild this tree: each id
  // once, at the key of its smallest group. A node whose own run is empty
  // while its cumulative set is not (its ids all sit under smaller keys, or
  // were taken out by without()) contributes one pair (its key, ids_[0]):
  // that keeps the key, which matters for grouping values added later, and
  // changes no membership because ids_[0] already sits at a smaller key.
  // A node whose cumulative set is empty contributes nothing and vanishes.
  std::vector<Pair> pairs() const;

  // A tree without the given ids: every key stays, each node's cumulative
  // set loses those ids.
  IntervalTree without(const Roaring& ids) const;

  // Bytes held by the representation (for measurements).
  size_t memory_bytes() const;

 private:
  // The ids of ids_[begin, end) as a new set. begin and end lie on node
  // boundaries.
  Roaring slice(size_t begin, size_t end) const;
  // The ids of ids_[begin, end), all inside block b.
  Roaring part_of_block(size_t b, size_t begin, size_t end) const;
  void make_blocks();
  // ends_[node - 1], or 0 for node 0.
  size_t run_begin(size_t node) const { return node == 0 ? 0 : ends_[node - 1]; }

  std::vector<double> keys_;         // strictly ascending group keys
  std::vector<uint32_t> ids_;        // distinct ids, ordered by group of smallest value
  std::vector<uint32_t> ends_;       // ends_[i]: ids_ of groups 0..i are ids_[0, ends_[i])
  Roaring all_;                      // the ids of ids_
  std::vector<uint32_t> block_pos_;  // block b is ids_[block_pos_[b], block_pos_[b + 1])
  std::vector<Roaring> blocks_;
};

}  // namespace ostrel
