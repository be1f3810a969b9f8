#include "search.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

namespace ostrel::search {
namespace {

// The score as a rank: smaller ranks first. Higher scores get smaller
// ranks, -0 and +0 the same one, and NaN the largest, after every number.
uint32_t rank_of(float score) {
  if (std::isnan(score)) return 0xFFFFFFFFu;
  const uint32_t bits = std::bit_cast<uint32_t>(score == 0.0f ? 0.0f : score);
  const uint32_t ascending = bits & 0x80000000u ? ~bits : bits | 0x80000000u;
  return ~ascending;  // 0xFFFFFFFF only for a NaN bit pattern
}

// A scored candidate with its place in the candidate order.
struct Ranked {
  uint32_t rank;  // rank_of(score)
  float score;
  uint32_t row;
  uint64_t place;
};

// The strict order of step 4, true when `a` ranks before `b`: higher score
// first, NaN after every number, equal scores by place.
bool before(const Ranked& a, const Ranked& b) {
  return a.rank != b.rank ? a.rank < b.rank : a.place < b.place;
}

// The k best of the pairs offered to one piece: the candidates are
// buffered and cut back to the k best whenever 2k are held, so that a pair
// costs one comparison with the last cut, and a few more on average.
// Allocates only when constructed: pieces running on worker threads
// allocate nothing.
struct Best {
  Best(uint64_t k, size_t offers) : room(std::min<uint64_t>(k, offers)) { kept.reserve(2 * room); }

  // True when a pair of this score cannot be among the k best.
  bool rejects(float score) const { return cut && score < worst.score; }

  void offer(const Ranked& r) {
    if (room == 0 || (cut && !before(r, worst))) return;
    kept.push_back(r);
    if (kept.size() == 2 * room) {
      shrink();
    } else if (!cut && kept.size() == room) {  // the first k: their worst is the cut
      worst = *std::max_element(kept.begin(), kept.end(), before);
      cut = true;
    }
  }

  // Keeps the `room` best; the worst of them becomes the cut.
  void shrink() {
    std::nth_element(kept.begin(), kept.begin() + (room - 1), kept.end(), before);
    kept.resize(room);
    worst = kept.back();
    cut = true;
  }

  // Scores below this cannot get in (a NaN cut, ranked after every
  // number, keeps out nothing).
  float floor() const {
    return cut && !std::isnan(worst.score) ? worst.score : -std::numeric_limits<float>::infinity();
  }

  uint64_t room;
  bool cut = false;
  Ranked worst{};        // when cut: the worst pair kept at the last cut
  uint64_t offered = 0;  // pairs seen so far: a pair's place in the piece
  std::vector<Ranked> kept;
};

std::vector<uint32_t> rows_of(const Roaring& set) {
  std::vector<uint32_t> rows(set.cardinality());
  set.toUint32Array(rows.data());
  return rows;
}

// The first `limit` rows of `set` in id order (any order within them).
std::vector<uint32_t> first_by_id(const Roaring& set, uint64_t limit, const IdMap& ids) {
  if (set.cardinality() <= limit) return rows_of(set);
  std::vector<uint32_t> rows;
  if (ids.identity()) {  // rows are ids: the lowest rows
    rows.resize(limit);
    set.rangeUint32Array(rows.data(), 0, limit);
    return rows;
  }
  std::vector<std::pair<uint32_t, uint32_t>> by_id;  // (id, row)
  by_id.reserve(set.cardinality());
  for (uint32_t row : set) by_id.emplace_back(ids.id_of(row), row);
  std::nth_element(by_id.begin(), by_id.begin() + limit, by_id.end());
  by_id.resize(limit);
  rows.reserve(limit);
  for (const auto& [id, row] : by_id) rows.push_back(row);
  std::sort(rows.begin(), rows.end());  // ascending rows read storage pages in order
  return rows;
}

// Every stored row that is not deleted, in row order.
Candidates every_stored_row(const Eligible& e) {
  return Candidates::every_row_below(e.stored.isEmpty() ? 0 : uint64_t{e.stored.maximum()} + 1,
                                     e.deleted);
}

}  // namespace

Candidates choose(std::vector<uint32_t> proposed, uint64_t k, const Eligible& e, const IdMap& ids) {
  if (proposed.size() < replaced_below(k, e.next_id)) {
    if (e.filter)
      return Candidates::list(first_by_id(*e.filter - e.deleted, candidate_limit(k), ids), true);
    return every_stored_row(e);
  }
  std::erase_if(proposed, [&](uint32_t row) {
    return e.deleted.contains(row) || (e.filter && !e.filter->contains(row));
  });
  if (proposed.size() < k) {
    if (!e.filter) {
      const uint64_t eligible = e.stored.cardinality() - e.stored.and_cardinality(e.deleted);
      if (eligible > proposed.size()) return every_stored_row(e);
    } else if (Roaring eligible = *e.filter - e.deleted; eligible.cardinality() > proposed.size()) {
      return Candidates::every_row_of(std::move(eligible));
    }
  }
  return Candidates::list(std::move(proposed), false);
}

std::vector<ScoredPair> best(const VectorStorage& storage, std::span<const float> query,
                             const Candidates& candidates, uint64_t k, const IdMap& ids) {
  const RowSequence rows = candidates.sequence();
  ThreadPool* pool =
      rows.size() > Options::PARALLEL_SCORING_THRESHOLD ? ThreadPool::instance() : nullptr;
  const size_t pieces = VectorStorage::pieces(rows.size(), pool);
  const size_t per_piece = VectorStorage::piece_length(rows.size(), pieces);
  std::vector<Best> best;
  best.reserve(pieces);
  for (size_t p = 0; p < pieces; ++p) best.emplace_back(k, per_piece);
  auto take = [&](size_t p, std::span<const ScoredPair> block) {
    Best& mine = best[p];
    for (const ScoredPair& pair : block) {
      // Pieces are contiguous runs of the list, so (piece, arrival) is the
      // list's order (pairs left out below the floor do not change it).
      const uint64_t arrival = mine.offered++;
      if (mine.rejects(pair.score)) continue;
      const uint64_t place =
          candidates.in_id_order ? ids.id_of(pair.id) : (uint64_t{p} << 32 | arrival);
      mine.offer({rank_of(pair.score), pair.score, pair.id, place});
    }
  };
  // A pair below the k-th best of any one piece cannot be among the k best
  // of all: the pieces share the highest of their floors.
  std::atomic<float> shared_floor{-std::numeric_limits<float>::infinity()};
  auto take_and_share = [&](size_t p, std::span<const ScoredPair> block) {
    take(p, block);
    const float mine = best[p].floor();
    for (float seen = shared_floor.load(std::memory_order_relaxed); mine > seen;) {
      if (shared_floor.compare_exchange_weak(seen, mine, std::memory_order_relaxed)) break;
    }
  };
  storage.score(query, rows, pool, take_and_share, [&](size_t p) {
    return std::max(best[p].floor(), shared_floor.load(std::memory_order_relaxed));
  });
  std::vector<Ranked> merged;
  for (Best& b : best) merged.insert(merged.end(), b.kept.begin(), b.kept.end());
  if (merged.size() > k) {
    std::nth_element(merged.begin(), merged.begin() + k, merged.end(), before);
    merged.resize(k);
  }
  std::sort(merged.begin(), merged.end(), before);
  std::vector<ScoredPair> out;
  out.reserve(merged.size());
  for (const Ranked& r : merged) out.push_back({r.row, r.score});
  return out;
}

}  // namespace ostrel::search
