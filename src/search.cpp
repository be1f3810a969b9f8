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
  Best(uint64_t k, uint64_t offers) : k(k), room(std::min(k, offers)) { kept.reserve(2 * room); }

  // True when a pair of this score cannot be among the piece's best.
  bool rejects(float score) const { return cut && score < worst.score; }

  void offer(const Ranked& r) {
    if (room == 0 || (cut && !before(r, worst))) return;
    kept.push_back(r);
    if (kept.size() == 2 * room) {
      shrink();
    } else if (!cut && kept.size() == room) {  // the first `room`: their worst is the cut
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

  // The score below which no pair of any piece can be among the k best of
  // all: known once this piece holds k pairs (fewer bound nothing), and not
  // when its worst is NaN (ranked after every number, it keeps out nothing).
  std::optional<float> floor() const {
    if (!cut || room < k || std::isnan(worst.score)) return std::nullopt;
    return worst.score;
  }

  uint64_t k;
  uint64_t room;  // k, or fewer when the piece has fewer positions
  bool cut = false;
  Ranked worst{};        // when cut: the worst pair kept at the last cut
  uint64_t offered = 0;  // pairs seen so far: a pair's place in the piece
  std::vector<Ranked> kept;
};

// Every document a search may return: the stored ones that are not
// deleted and, with a filter, match it.
Candidates every_eligible(const Eligible& e) {
  if (e.filter) return Candidates::every_row_of(*e.filter - e.deleted);
  return Candidates::every_row_below(e.stored.isEmpty() ? 0 : uint64_t{e.stored.maximum()} + 1,
                                     e.deleted);
}

uint64_t eligible_count(const Eligible& e) {
  const Roaring& within = e.filter ? *e.filter : e.stored;
  return within.cardinality() - within.and_cardinality(e.deleted);
}

// The highest floor any piece has published so far, shared by all pieces.
class SharedFloor {
 public:
  void raise(std::optional<float> floor) {
    if (!floor) return;
    for (float seen = value_.load(std::memory_order_relaxed); *floor > seen;) {
      if (value_.compare_exchange_weak(seen, *floor, std::memory_order_relaxed)) break;
    }
  }
  std::optional<float> get() const {
    const float v = value_.load(std::memory_order_relaxed);
    return v == -std::numeric_limits<float>::infinity() ? std::nullopt : std::optional<float>(v);
  }

 private:
  std::atomic<float> value_{-std::numeric_limits<float>::infinity()};  // -inf: none yet
};

}  // namespace

Candidates choose(std::vector<uint32_t> proposed, uint64_t k, const Eligible& e) {
  if (proposed.size() < replaced_below(k, e.next_id)) return every_eligible(e);
  std::erase_if(proposed, [&](uint32_t row) {
    return e.deleted.contains(row) || (e.filter && !e.filter->contains(row));
  });
  if (proposed.size() < k && eligible_count(e) > proposed.size()) return every_eligible(e);
  return Candidates::list(std::move(proposed));
}

std::vector<ScoredPair> best(const VectorStorage& storage, std::span<const float> query,
                             const Candidates& candidates, uint64_t k, const IdMap& ids,
                             const ScoringPlan* forced) {
  const RowSequence rows = candidates.sequence();
  const ScoringPlan plan = forced ? *forced : VectorStorage::plan_for(rows.size());
  const uint64_t pieces = std::max<uint64_t>(plan.pieces, 1);
  const uint64_t per_piece = VectorStorage::piece_length(rows.size(), pieces);
  std::vector<Best> best;
  best.reserve(pieces);
  for (uint64_t p = 0; p < pieces; ++p) best.emplace_back(k, per_piece);
  SharedFloor shared;
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
    shared.raise(mine.floor());
  };
  storage.score(query, rows, plan, take, [&](size_t p) {
    const std::optional<float> mine = best[p].floor(), all = shared.get();
    return mine && all ? std::max(*mine, *all) : mine ? mine : all;
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
