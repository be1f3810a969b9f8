#include "interval_tree.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrel {
namespace {

using Pair = IntervalTree::Pair;
// The cumulative structure as first described: one full set per node.
using Model = std::vector<std::pair<double, Roaring>>;

Model model_build(std::vector<Pair> pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), [](auto& a, auto& b) { return a.first < b.first; });
  Model nodes;  // a group's key is its first value; values within 1e-9 of it join
  for (const auto& [value, id] : pairs) {
    if (nodes.empty() || !(std::fabs(value - nodes.back().first) < 1e-9))
      nodes.emplace_back(value, nodes.empty() ? Roaring() : nodes.back().second);
    nodes.back().second.add(id);
  }
  return nodes;
}

// The ids filed under node i itself.
Roaring own(const Model& m, size_t i) {
  return i == 0 ? m[0].second : m[i].second - m[i - 1].second;
}

Roaring model_query(const Model& m, const std::string& op, double bound) {
  // The cumulative set of the keys below the bound (or at or below it).
  const bool inclusive = op == "$lte" || op == "$gt";
  size_t c = 0;
  while (c < m.size() && (m[c].first < bound || (inclusive && m[c].first == bound))) ++c;
  const Roaring below = c == 0 ? Roaring() : m[c - 1].second;
  if (op == "$lt" || op == "$lte") return below;
  if ((op == "$gt" || op == "$gte") && !m.empty()) return m.back().second - below;
  return Roaring();
}

void expect_same(const IntervalTree& tree, const Model& model, std::vector<double> bounds) {
  ASSERT_EQ(tree.node_count(), model.size());
  EXPECT_TRUE(tree.ids_up_to(0).isEmpty());
  for (size_t i = 0; i < model.size(); ++i) {
    // Numerically: a merge may keep 0.0 where a rebuild would key -0.0, which
    // no comparison can tell apart.
    const double key = model[i].first;
    EXPECT_EQ(tree.key(i), key) << i;
    EXPECT_EQ(tree.ids_up_to(i + 1).toString(), model[i].second.toString()) << i;
    EXPECT_EQ(tree.ids_of_node(i).toString(), own(model, i).toString()) << i;
    for (double d : {0.0, 5e-10, 1e-9, 2e-9}) bounds.insert(bounds.end(), {key + d, key - d});
    bounds.insert(bounds.end(), {std::nextafter(key, 1e300), std::nextafter(key, -1e300)});
  }
  for (double bound : bounds) {
    for (const char* op : {"$lt", "$lte", "$gt", "$gte", "$eq"}) {
      EXPECT_EQ(tree.range_query(op, bound).toString(), model_query(model, op, bound).toString())
          << op << " " << bound;
    }
    Roaring equal;  // numeric equality: the own ids of the node keyed exactly `bound`
    for (size_t i = 0; i < model.size(); ++i) {
      if (model[i].first == bound) equal = own(model, i);
    }
    EXPECT_EQ(tree.equal_to(bound).toString(), equal.toString()) << bound;
  }
}

// Random builds, removals and flush-style rebuilds against the model; values
// close enough to group, ids spread over several Roaring containers.
TEST(IntervalTree, MatchesTheCumulativeModel) {
  // Keys kept as scaled integers when a chunk's keys allow it (0.5, 7.25,
  // 0.0625, 214748.3647) and as doubles otherwise (-0.0, 1e-9, 0.03125,
  // 214748.3648 and 1e12, beyond 32 bits once scaled).
  const std::vector<double> pool = {-3.0,         -0.0,    0.0,          6e-10,        1e-9,
                                    1.2e-9,       0.5,     1.0,          1.0000000005, 1.000000001,
                                    1.0000000015, 2.0,     2.0000000009, 7.25,         1e12,
                                    0.0625,       0.03125, 214748.3647,  214748.3648};
  std::vector<double> probes = pool;
  probes.insert(probes.end(), {-1e300, 1e300, -INFINITY, INFINITY, 0.75, 3.0});
  std::mt19937 rng(20240611);
  auto random_pairs = [&](size_t max_count) {
    std::vector<Pair> out(rng() % (max_count + 1));
    for (Pair& p : out) {
      uint32_t id = rng() % 40;
      if (id % 8 == 0) id = id << 24 | id;  // another container
      if (id == 0 && rng() % 4 == 0) id = std::numeric_limits<uint32_t>::max();
      p = {pool[rng() % pool.size()], id};
    }
    return out;
  };
  // Under emulation (OSTREL_EMULATED) fewer rounds; each kind of round still runs.
  const int rounds = std::getenv("OSTREL_EMULATED") ? 45 : 150;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    std::vector<Pair> pairs = random_pairs(60);
    // Tiny chunks in most rounds, so that merging and splitting cross chunks.
    IntervalTree tree = IntervalTree::build(pairs, round % 3 == 0 ? IntervalTree::kChunkIds : 3);
    Model model = model_build(pairs);
    ASSERT_NO_FATAL_FAILURE(expect_same(tree, model, probes));
    for (int flush = 0; flush < 3; ++flush) {
      Roaring gone;
      for (const Pair& p : random_pairs(12)) gone.add(p.second);
      tree.remove(gone);
      for (auto& node : model) node.second -= gone;
      ASSERT_NO_FATAL_FAILURE(expect_same(tree, model, probes));

      // A flush of a few or many pending pairs: the model re-expands every
      // node's key with every id of its cumulative set after them, and rebuilds.
      std::vector<Pair> pending = random_pairs(flush == 0 ? 2 : 20), expanded = pending;
      if (pending.empty()) continue;  // nothing pending: no flush
      for (const auto& [key, set] : model) {
        for (uint32_t id : set) expanded.emplace_back(key, id);
      }
      tree.insert(pending);
      model = model_build(std::move(expanded));
      ASSERT_NO_FATAL_FAILURE(expect_same(tree, model, probes));
    }
  }
}

// Answers large enough for the long-slice sorts (dense, sparse) and the complement.
TEST(IntervalTree, LargeAnswersMatchTheModel) {
  std::mt19937 rng(7);
  for (bool dense : {true, false}) {
    std::vector<Pair> pairs(140000);
    for (size_t i = 0; i < pairs.size(); ++i)
      pairs[i] = {double(rng() % 50), dense ? uint32_t(i) : uint32_t(rng())};
    IntervalTree tree = IntervalTree::build(pairs);
    Model model = model_build(pairs);
    for (double bound : {-1.0, 3.0, 25.0, 40.0, 60.0}) {
      for (const char* op : {"$lt", "$lte", "$gt", "$gte"}) {
        EXPECT_TRUE(tree.range_query(op, bound) == model_query(model, op, bound))
            << dense << op << bound;
      }
    }
    EXPECT_TRUE(tree.ids_of_node(10) == own(model, 10));
  }
}

}  // namespace
}  // namespace ostrel
