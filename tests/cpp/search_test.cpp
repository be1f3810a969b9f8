#include "search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace ostrel {
namespace {

using ::testing::internal::CaptureStdout;  // the activation notice goes to stdout
using ::testing::internal::GetCapturedStdout;

// The selection written out: every candidate scored alone, in list order,
// then a stable sort by descending score (NaN last), ties by place.
std::vector<ScoredPair> model_best(const VectorStorage& storage, std::span<const float> query,
                                   const search::Candidates& c, uint64_t k, const IdMap& ids) {
  struct Entry {
    ScoredPair pair;
    uint64_t place;
  };
  std::vector<Entry> all;
  for (uint32_t row : c.rows) {
    if (auto s = storage.compute_similarity(query, row)) {
      all.push_back({{row, *s}, c.in_id_order ? ids.id_of(row) : all.size()});
    }
  }
  std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
    const bool an = std::isnan(a.pair.score), bn = std::isnan(b.pair.score);
    if (an != bn) return bn;
    if (!an && a.pair.score != b.pair.score) return a.pair.score > b.pair.score;
    return a.place < b.place;
  });
  std::vector<ScoredPair> out;
  for (size_t i = 0; i < all.size() && i < k; ++i) out.push_back(all[i].pair);
  return out;
}

// Pieces on the pool, partial totals dropped below each piece's floor,
// buffered selection: none of it may change which pairs are kept, nor their
// order, in either candidate order and with rows that are not ids.
TEST(Search, BestEqualsTheSortedModel) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  VectorStorage storage;
  IdMap ids;
  CaptureStdout();
  for (uint32_t n = 0; n < 9000; ++n) {
    const uint32_t row = ids.assign(n * 2654435761u);  // ids out of row order
    std::vector<float> v(40);
    for (float& x : v) x = g(rng) * (n % 3 == 0 ? 0.1f : 0.3f);
    if (n % 4 == 0) v = std::vector<float>(40, 0.05f);      // many exact ties
    ASSERT_TRUE(n % 9 == 5 || storage.store(row, v).ok());  // some rows without a vector
  }
  GetCapturedStdout();
  ASSERT_TRUE(storage.quantized());
  std::vector<uint32_t> rows(9000);
  std::iota(rows.begin(), rows.end(), 0u);
  std::vector<uint32_t> shuffled = rows;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  for (int q = 0; q < 4; ++q) {  // queries shorter than, as long as and longer than the data
    std::vector<float> query(q == 0 ? 5 : q == 1 ? 1000 : 40);
    for (float& x : query) x = g(rng) * 0.3f;
    if (q == 3) query = std::vector<float>(40, 0.05f);
    for (uint64_t k : {1, 10, 100, 4000, 20000}) {
      for (const search::Candidates& c :
           {search::Candidates{rows, true}, search::Candidates{shuffled, false},
            search::Candidates{std::vector<uint32_t>(shuffled.begin(), shuffled.begin() + 900),
                               false}}) {
        const auto got = search::best(storage, query, c, k, ids);
        const auto want = model_best(storage, query, c, k, ids);
        ASSERT_EQ(got.size(), want.size()) << q << " k " << k;
        for (size_t i = 0; i < got.size(); ++i) {
          ASSERT_EQ(got[i].id, want[i].id) << q << " k " << k << " at " << i;
          ASSERT_EQ(got[i].score, want[i].score);
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
