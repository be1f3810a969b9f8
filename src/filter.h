// FilterEngine: in-memory indexes over document metadata and the evaluator
// of the JSON filter language.
//
// Five structures:
//   eq_index         path -> (hash_value of a string / "true" / "false") -> ids
//   range_trees      path -> IntervalTree over the field's flushed numbers
//   pending_numeric  path -> (number, id) pairs not yet merged into the tree
//   exists_index     path -> ids of documents carrying the path (any kind)
//   all_docs         every id added and not removed: the universe of negations
// A path is a member key, or "outer.inner" for members of nested objects.
//
// A filter yields one of three outcomes: an error (the text is not valid
// JSON), no constraint (nothing in it could be applied; callers treat it as
// matching nothing) or an id set. Inside the evaluator a clause result is a
// ClauseResult: std::nullopt means no constraint, which is skipped when
// results are combined and is not the empty set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <roaring/roaring.hh>

#include "flat_map.h"
#include "hash.h"
#include "interval_tree.h"
#include "json.h"
#include "options.h"
#include "status.h"

namespace ostrel {

// An id set, or std::nullopt for "no constraint".
using ClauseResult = std::optional<Roaring>;

// Thread safety: none of its own; the owner locks. The writers
// (add_document, index_object, unindex_object, remove_document, remove_all,
// flush_pending and apply_filter, which flushes) need exclusive access; the
// const methods (evaluate, eval_filter, ...) may run concurrently.
//
// Invariants:
//   1. Every indexed number of a field sits in exactly one place: the
//      field's pending array or the field's tree.
//   2. Paths in eq_index, exists_index and range_trees, and value hashes in
//      eq_index, are never erased; sets emptied by removals stay in place.
//      pending_numeric loses every entry at each flush_pending_numbers().
//      A field that received numbers has a tree after the next flush, even
//      if every one of its numbers was removed while pending.
//   3. Numbers never enter eq_index; strings and booleans never enter
//      pending_numeric or range_trees.
//   4. A removed id (remove_document / remove_all) is in no structure.
//   5. Sets handed out are copies, never references into an index.
//
// Failures: no method reports an error except apply_filter (invalid JSON).
// Memory exhaustion inside CRoaring or the standard containers propagates as
// std::bad_alloc / std::runtime_error; the engine's owner (core) catches it
// at its operation boundary. Flushes keep the indexes consistent when that
// happens (the pending pairs are dropped only after the new tree is stored);
// removals may stop part-way.
class FilterEngine {
 public:
  FilterEngine() = default;
  FilterEngine(const FilterEngine&) = delete;
  FilterEngine& operator=(const FilterEngine&) = delete;

  // The adding path's step: inserts `id` into all_docs.
  void add_document(uint32_t id);

  // Indexes every member of `object` for document `id` under `prefix` (the
  // enclosing path, empty at the top). Strings and booleans go to eq_index,
  // numbers (as doubles) to pending_numeric, every member to exists_index;
  // nested objects are descended, array elements are not indexed. A field
  // whose pending array reaches Options::PENDING_FLUSH_THRESHOLD is merged into its
  // tree at once.
  void index_object(const json::Object& object, std::string_view prefix, uint32_t id);

  // Removes exactly the entries index_object(object, prefix, id) made: the
  // id leaves each path's exists set and value set, and for numeric members
  // every pending pair of the id on that path and its membership in the
  // path's tree. all_docs is untouched. Used to replace a document's entries
  // when its id is added again.
  void unindex_object(const json::Object& object, std::string_view prefix, uint32_t id);

  // Takes `id` out of all_docs, every eq_index and exists_index set, every
  // pending array and every tree (in place; keys stay). An absent id changes
  // nothing. Costs a pass over every index: remove many ids with remove_all.
  void remove_document(uint32_t id);

  // Same result as remove_document for each id of `ids`, in one pass: every
  // set loses `ids` by one difference, every tree edits each chunk once.
  void remove_all(const Roaring& ids);

  // flush_pending_numbers(), then evaluate(). Fails with Status::Invalid
  // carrying the parser's text ("... at line L column C"); the flush has
  // happened then.
  Result<ClauseResult> apply_filter(std::string_view filter_json);

  // Whether numbers wait to be merged into the range trees; evaluate() does
  // not see them until flush_pending_numbers() merged them.
  bool has_pending_numbers() const { return !pending_numeric_.empty(); }
  // Merges every pending number into its field's tree.
  void flush_pending_numbers();

  // Parses `filter_json` and evaluates it; fails like apply_filter.
  Result<ClauseResult> evaluate(std::string_view filter_json) const;

  // Evaluates one parsed filter node; never fails.
  ClauseResult eval_filter(const json::Value& node) const;

  // Ids whose `field` equals the scalar `value`. Strings and booleans: the
  // value's set, the empty set when the field has values but not this one,
  // no constraint when the field has no value at all. Numbers: the ids
  // grouped under a tree key equal to the value, no constraint without a
  // tree. Null, arrays and objects: no constraint.
  ClauseResult eval_eq(std::string_view field, const json::Value& value) const;

  // Introspection for tests and benchmarks (each takes one read lock).
  size_t pending_count(std::string_view path) const;
  // The tree's (key, id) pairs, or nullopt when the path has no tree.
  std::optional<std::vector<IntervalTree::Pair>> tree_pairs(std::string_view path) const;
  // Bytes held by all trees.
  size_t range_index_memory_bytes() const;

 private:
  template <typename V>
  using PathMap = std::unordered_map<std::string, V, FxHash, std::equal_to<>>;
  using PairVec = std::vector<IntervalTree::Pair>;
  using EqIndex = PathMap<FlatMap<uint64_t, Roaring>>;
  using RangeTrees = PathMap<IntervalTree>;
  using PendingNumeric = PathMap<PairVec>;
  using ExistsIndex = PathMap<Roaring>;

  // Merges `pending` (taken first) and the path's current tree into a new
  // tree stored for the path.
  static void flush_pending(RangeTrees& trees, std::string_view path, const PairVec& pending);
  // Removes `ids` from the pending array and tree of `only_path`, or of
  // every path when it is nullopt.
  void purge_numeric(const Roaring& ids, std::optional<std::string_view> only_path);

  ClauseResult eval_field(std::string_view field, const json::Object& ops) const;
  ClauseResult eval_range(std::string_view field, std::string_view op, double bound) const;
  ClauseResult eval_exists(std::string_view field, bool want) const;
  Roaring all_docs_minus(const Roaring& set) const;

  EqIndex eq_index_;
  RangeTrees range_trees_;
  PendingNumeric pending_numeric_;
  ExistsIndex exists_index_;
  Roaring all_docs_;
};

}  // namespace ostrel
