#include "search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>

namespace ostrel {
namespace {

using Pairs = std::vector<std::pair<uint32_t, float>>;  // (row, score)

// The selection written out: every candidate scored alone, in list order,
// then sorted by descending score (NaN last), ties by place.
Pairs model_best(const VectorStorage& storage, std::span<const float> query,
                 const search::Candidates& c, uint64_t k, const IdMap& ids) {
  std::vector<std::tuple<bool, float, uint64_t, uint32_t, float>> all;  // sort key, row, score
  const RowSequence sequence = c.sequence();
  std::vector<uint32_t> buffer(sequence.size());
  for (uint32_t row :
       RowSequence::Reader(sequence, 0, buffer.size()).next(buffer.data(), buffer.size())) {
    if (auto s = storage.compute_similarity(query, row)) {
      const uint64_t place = c.in_id_order ? ids.id_of(row) : all.size();
      all.emplace_back(std::isnan(*s), std::isnan(*s) ? 0.0f : -*s, place, row, *s);
    }
  }
  std::sort(all.begin(), all.end());
  Pairs out;
  for (size_t i = 0; i < all.size() && i < k; ++i) out.emplace_back(get<3>(all[i]), get<4>(all[i]));
  return out;
}

// Pieces on the pool, partial totals dropped below a piece's floor, buffered
// selection: none may change the pairs kept or their order (rows are not ids).
TEST(Search, BestEqualsTheSortedModel) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  VectorStorage storage;
  IdMap ids;
  for (uint32_t n = 0; n < 9000; ++n) {
    const uint32_t row = ids.assign(n * 2654435761u);  // ids out of row order
    std::vector<float> v(40);
    for (float& x : v) x = g(rng) * (n % 3 == 0 ? 0.1f : 0.3f);
    if (n % 4 == 0) v = std::vector<float>(40, 0.05f);      // many exact ties
    ASSERT_TRUE(n % 9 == 5 || storage.store(row, v).ok());  // some rows without a vector
  }
  ASSERT_TRUE(storage.quantized());
  std::vector<uint32_t> rows(9000);
  std::iota(rows.begin(), rows.end(), 0u);
  std::vector<uint32_t> shuffled = rows;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  Roaring set, gaps;  // every row but a few gaps, as a set and as a range
  for (uint32_t row = 0; row < 9000; ++row)
    (row % 1000 == 7 || row % 997 < 3 ? gaps : set).add(row);
  for (int q = 0; q < 4; ++q) {  // queries shorter than, as long as and longer than the data
    std::vector<float> query(q == 0 ? 5 : q == 1 ? 1000 : 40);
    for (float& x : query) x = g(rng) * 0.3f;
    if (q == 3) query = std::vector<float>(40, 0.05f);
    for (uint64_t k : {1, 10, 100, 4000, 20000}) {
      for (const search::Candidates& c :
           {search::Candidates::list(rows, true), search::Candidates::list(shuffled, false),
            search::Candidates::every_row_of(set), search::Candidates::every_row_below(9000, gaps),
            search::Candidates::list({shuffled.begin(), shuffled.begin() + 900}, false)}) {
        Pairs got;
        for (ScoredPair p : search::best(storage, query, c, k, ids))
          got.emplace_back(p.id, p.score);
        ASSERT_EQ(got, model_best(storage, query, c, k, ids)) << q << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
