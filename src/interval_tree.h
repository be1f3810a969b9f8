// IntervalTree: the range index of one numeric metadata field.
//
// Built in bulk from (value, id) pairs; immutable afterwards. Values are
// grouped: after sorting, a group starts at a value `key` and takes every
// following value v with |v - key| < GROUP_TOLERANCE, so each id behaves as
// if its value were its group's key. An id given with several values behaves
// as its smallest (it belongs to every node from that key upward).
//
// Representation (linear in the number of pairs): the ascending distinct keys;
// the distinct ids ordered by the index of the group of their smallest value;
// and, per key, the end of that key's run in the id order. The cumulative set
// "ids at or below key i" is the prefix [0, end[i]) of the id order.
//
// Thread safety: immutable after build(); any number of concurrent readers.
#pragma once

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

  // REQUIRES: every value is finite.
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
  Roaring ids_up_to(size_t count) const;

  // Every (key, id) pair, one per id at the key of its smallest group, in
  // ascending key order: rebuilding from these gives the same tree.
  std::vector<Pair> pairs() const;

  // A tree without the given ids (same grouping for the others).
  IntervalTree without(const Roaring& ids) const;

  size_t memory_bytes() const;

 private:
  std::vector<double> keys_;       // strictly ascending group keys
  std::vector<uint32_t> ids_;      // distinct ids, ordered by group of smallest value
  std::vector<uint32_t> ends_;     // ends_[i]: ids_ of groups 0..i are ids_[0, ends_[i])
};

}  // namespace ostrel
