// IntervalTree: the range index of one numeric metadata field.
//
// Built in bulk from (value, id) pairs, then merged into and pruned. Values are
// grouped: after a stable sort by value, a group starts at a value `key` and
// takes every following value v with |v - key| < GROUP_TOLERANCE (absolute,
// strict, always against the group's first value), so each id behaves as if
// its value were its group's key. An id given with several values behaves as
// its smallest: it belongs to every node from that key upward.
//
// Node i stands for the cumulative set "ids grouped under key i or below".
// Storing that set per node would cost memory quadratic in the number of
// distinct keys, so the representation is linear in the number of ids. The
// nodes are cut, at node boundaries, into chunks of about kChunkIds ids;
// each chunk holds
//   keys  its group keys, strictly ascending (and above the previous chunk's);
//   ids   the ids of its nodes, ordered by node, ascending within a node;
//   ends  per node, the end of its run in `ids` (a run may be empty);
//   set   its ids as a set.
// A chunk of a single node keeps its ids in `set` alone: its run is the whole
// set, in ascending order, so `ids` would only repeat it. A node that holds
// at least alone_ids(chunk size) ids is cut into a chunk of its own, so a
// field with few distinct values (a year, a rating) costs about 2 bytes per
// id instead of 6.
// Every id sits in exactly one run: the run of its smallest group. Node i's
// cumulative set is the union of the sets of the chunks before its chunk and
// the runs of its chunk up to node i. `all_` is the union of every chunk.
//
// insert() merges new values exactly as rebuilding from them and the tree's
// own pairs() would, up to the sign of a zero key (never observable: -0.0
// and 0.0 compare equal everywhere). A value that joins an existing group, or starts a new
// one that absorbs no existing key, is placed in its chunk in place (cost
// linear in the chunk, not the tree); anything else rebuilds the tree.
//
// Failure: memory exhaustion surfaces as std::bad_alloc (standard
// containers) or std::runtime_error (Roaring copies); callers that return a
// Status catch them at their operation boundary.
//
// Thread safety: none of its own. The owner guards a tree with a
// reader-writer lock: const methods may run concurrently, insert() and
// remove() need exclusive access.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
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
  // `chunk_ids` sets the chunk size (smaller only in tests).
  static IntervalTree build(std::vector<Pair> pairs, size_t chunk_ids = kChunkIds);

  // Merges `pending` into the tree: afterwards the tree equals
  // build(pending followed by pairs()).
  void insert(std::vector<Pair> pending);

  // Takes the ids out of every node; every key stays.
  void remove(const Roaring& ids);

  size_t node_count() const;
  double key(size_t node) const;

  // Ids whose value is below / at or below / above / at or above `bound`
  // for "$lt" / "$lte" / "$gt" / "$gte"; any other operator gives {}.
  Roaring range_query(std::string_view op, double bound) const;

  // Numeric equality: when some node's key equals `value` exactly, the ids
  // grouped under that node alone; otherwise the empty set.
  Roaring equal_to(double value) const;

  // Ids grouped under node `node` alone (its cumulative set minus the
  // previous node's). REQUIRES: node < node_count().
  Roaring ids_of_node(size_t node) const;

  // Ids grouped under nodes [0, count): the cumulative set of node count-1.
  // REQUIRES: count <= node_count().
  Roaring ids_up_to(size_t count) const;

  // (key, id) pairs in ascending key order that rebuild this tree: each id
  // once, at the key of its smallest group. A node whose own run is empty
  // while its cumulative set is not contributes one pair (its key, an id of
  // an earlier node): that keeps the key, which matters for grouping values
  // added later, and changes no membership. A node whose cumulative set is
  // empty contributes nothing and vanishes.
  std::vector<Pair> pairs() const;

  // Bytes held by the representation (for measurements).
  size_t memory_bytes() const;

  static constexpr size_t kChunkIds = 2048;
  // More pending values than this are merged by a rebuild.
  static constexpr size_t INCREMENTAL_MAX = 8192;

 private:
  // The keys of a chunk, ascending. Kept as 32-bit integers n, each key
  // being n / 10^decimals exactly (one division, correctly rounded; the
  // same decimals, 0 to MAX_DECIMALS, for the whole chunk), when every key
  // of the chunk reads back that way, as prices and ratings do: 4 bytes a
  // key instead of 8. Otherwise (and for -0.0) as doubles.
  class Keys {
   public:
    size_t size() const { return decimals_ < 0 ? exact_.size() : scaled_.size(); }
    double operator[](size_t i) const {
      return decimals_ < 0 ? exact_[i] : double(scaled_[i]) / POW10[decimals_];
    }
    // Each may throw std::bad_alloc and then leaves the keys unchanged.
    void assign(std::vector<double> keys);
    void insert(size_t at, double key);
    void erase_front(size_t count);
    void truncate(size_t count);                     // keeps the first `count`
    std::vector<double> decoded(size_t from) const;  // keys [from, size())
    size_t memory_bytes() const;

   private:
    static constexpr int MAX_DECIMALS = 4;
    static constexpr double POW10[MAX_DECIMALS + 1] = {1, 10, 100, 1000, 10000};
    std::vector<int32_t> scaled_;
    std::vector<double> exact_;
    int decimals_ = 0;  // -1: the keys are in exact_
  };

  struct Chunk {
    Keys keys;
    std::vector<uint32_t> ids;
    std::vector<uint32_t> ends;
    Roaring set;
    size_t run_begin(size_t node) const { return node == 0 ? 0 : ends[node - 1]; }
    size_t id_count() const { return ends.empty() ? 0 : ends.back(); }
    bool single() const { return keys.size() == 1; }
    // Single node: `ids` released, the run read from `set`. Several: `ids`
    // filled from `set` if it was released.
    void fold_ids();
    void unfold_ids();
    // The ids of ids[begin, end) as a new set (begin, end on node
    // boundaries); `fresh` builds it from the ids rather than from `set`.
    Roaring slice(size_t begin, size_t end, bool fresh = false) const;
  };
  // Where a global node index lives.
  struct Place {
    size_t chunk;
    size_t node;
  };

  static IntervalTree from_flat(std::vector<double> keys, std::vector<uint32_t> ids,
                                std::vector<uint32_t> ends, size_t chunk_ids);
  Place place(size_t node) const;
  // Nodes (in chunk order) whose key is below the bound (or at or below it).
  Place count_below(double bound, bool inclusive) const;
  Roaring prefix(Place end) const;             // cumulative set of the nodes before `end`
  bool insert_one(double value, uint32_t id);  // false: needs a rebuild
  void drop_leading_empty_nodes();
  void split(size_t chunk);
  // Cuts chunk `chunk` before its node `cut` (0 < cut < its node count).
  void split_at(size_t chunk, size_t cut);
  // Makes node `node` of chunk `chunk` a chunk of its own.
  void isolate(size_t chunk, size_t node);
  static size_t alone_ids(size_t chunk_ids) { return std::max<size_t>(chunk_ids / 8, 2); }
  void reindex();  // first_node_ and all_ from the chunks

  size_t chunk_ids_ = kChunkIds;
  std::vector<Chunk> chunks_;
  std::vector<size_t> first_node_;  // global index of each chunk's first node
  Roaring all_;
};

}  // namespace ostrel
