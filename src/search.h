// Search: which documents a search scores, and which it keeps.
//
// Documents are rows here (see id_map.h); "id order" is ascending document
// id, which the IdMap gives for rows.
//
// 1. Limit: candidate_limit(k) = max(10 k, 1000), in wrapping 64-bit
//    arithmetic on every target, 32-bit ones included, so that a search
//    chooses the same candidates on every machine.
// 2. Candidates: the index proposes C, at most `limit` distinct rows in its
//    own order. C is replaced by every eligible document when
//    - |C| < 2k and |C| < next_id (one more than the highest id ever added),
//      whatever C holds; or
//    - fewer than k of C remain once deleted documents and those outside the
//      filter have left it, while more eligible documents exist: a filter
//      matching few of the proposals would otherwise return fewer than k
//      results although more documents match.
//    Otherwise C loses its deleted documents and those outside the filter,
//    its order kept. Every eligible document means every stored document
//    that is not deleted and, with a filter, matches it: uncapped, in id
//    order. (Capping a filtered list at `limit` documents in id order would
//    make the result depend on when a document was added, and a larger k
//    return worse neighbours.)
// 3. Scores come from VectorStorage::score, by the machine's plan
//    (VectorStorage::plan_for) or a forced one: more than
//    Options::PARALLEL_SCORING_THRESHOLD candidates are scored on the worker
//    pool.
// 4. Selection: the k best pairs under one strict order, which also sorts
//    the result: higher score first, NaN after every number, equal scores in
//    candidate order (the index's order for C, id order for a replaced
//    list). Each piece keeps its own k best and, once it holds k, publishes
//    its k-th score as a floor below which no pair of any piece can be kept.
//    The pieces are merged under the same order, so the result does not
//    depend on the split.
//
// Thread safety: the functions are pure given their arguments; the caller
// holds whatever locks guard them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <roaring/roaring.hh>

#include "id_map.h"
#include "options.h"
#include "storage.h"
#include "types.h"

namespace ostrel::search {

inline uint64_t candidate_limit(uint64_t k) { return std::max<uint64_t>(k * 10, 1000); }

// Proposals fewer than this are replaced whatever they are: fewer than 2k
// and than next_id (2k saturating).
inline uint64_t replaced_below(uint64_t k, uint64_t next_id) {
  return std::min(k > UINT64_MAX / 2 ? UINT64_MAX : 2 * k, next_id);
}

// A list of rows (distinct, in any order); or, for every eligible document,
// the set of them, or the bound below which every row not excluded is one.
// The latter are scored in ascending row order without being spelled out.
struct Candidates {
  static Candidates list(std::vector<uint32_t> rows) {
    Candidates c;
    c.rows = std::move(rows);
    return c;
  }
  static Candidates every_row_of(Roaring set) {
    Candidates c;
    c.set = std::move(set);
    c.in_id_order = true;
    return c;
  }
  // `excluded` must outlive the candidates.
  static Candidates every_row_below(uint64_t end, const Roaring& excluded) {
    Candidates c;
    c.rows_below = end;
    c.excluded = &excluded;
    c.in_id_order = true;
    return c;
  }

  RowSequence sequence() const {
    if (set) return RowSequence(*set);
    if (excluded) return RowSequence(rows_below, *excluded);
    return RowSequence(rows);
  }

  std::vector<uint32_t> rows;
  bool in_id_order = false;  // every eligible document: equal scores go by document id
  std::optional<Roaring> set;
  uint64_t rows_below = 0;  // up to 2^32
  const Roaring* excluded = nullptr;
};

// What a search may return besides the index's proposals. `filter` is null
// without a filter; `stored` holds the rows that have a vector.
struct Eligible {
  const Roaring* filter;
  const Roaring& deleted;
  const Roaring& stored;
  uint64_t next_id;
};

// Step 2. `proposed` is the index's answer for candidate_limit(k).
Candidates choose(std::vector<uint32_t> proposed, uint64_t k, const Eligible& eligible);

// Steps 3 and 4: the k best (row, score) pairs, best first, scored by
// `plan` (null: the machine's plan). Throws std::bad_alloc when memory runs
// out.
std::vector<ScoredPair> best(const VectorStorage& storage, std::span<const float> query,
                             const Candidates& candidates, uint64_t k, const IdMap& ids,
                             const ScoringPlan* plan = nullptr);

}  // namespace ostrel::search
