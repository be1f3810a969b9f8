#include "interval_tree.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ostrel {
namespace {

// Below this many ids a comparison sort beats the two counting passes.
constexpr size_t kRadixMin = size_t{1} << 16;

// Sorts distinct ids ascending: std::sort for short slices; for long ones
// (a range answer may hold millions of ids) a bit array over the id span when
// the ids are dense, else an LSD radix sort on two 16-bit digits.
void sort_ids(std::vector<uint32_t>& ids) {
  if (ids.size() < kRadixMin) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  const uint32_t base = *lo;
  const size_t words = (size_t{*hi} - base) / 64 + 1;
  if (words <= ids.size()) {
    std::vector<uint64_t> bits(words);
    for (uint32_t id : ids) bits[(id - base) / 64] |= uint64_t{1} << ((id - base) % 64);
    size_t out = 0;
    for (size_t w = 0; w < words; ++w) {
      for (uint64_t b = bits[w]; b != 0; b &= b - 1) {
        ids[out++] = base + static_cast<uint32_t>(w * 64 + std::countr_zero(b));
      }
    }
    return;
  }
  std::vector<uint32_t> tmp(ids.size());
  std::vector<size_t> start(65537);
  for (int shift : {0, 16}) {
    std::fill(start.begin(), start.end(), 0);
    for (uint32_t id : ids) ++start[((id >> shift) & 0xFFFF) + 1];
    for (size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
    for (uint32_t id : ids) tmp[start[(id >> shift) & 0xFFFF]++] = id;
    ids.swap(tmp);
  }
}

// Whether `value` joins the group whose first value is `key`. For finite
// values this is |value - key| < GROUP_TOLERANCE; the equality test keeps
// repeated infinities in one group (inf - inf is NaN).
bool joins_group(double value, double key) {
  return value == key || std::fabs(value - key) < GROUP_TOLERANCE;
}

}  // namespace

IntervalTree IntervalTree::build(std::vector<Pair> pairs) {
  IntervalTree tree;
  // NaN has no place in the order; it never comes from JSON input.
  std::erase_if(pairs, [](const Pair& p) { return std::isnan(p.first); });
  // Stable: among equal values (0.0 and -0.0) the first given becomes the key.
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return a.first < b.first; });
  const size_t n = pairs.size();
  if (n == 0) return tree;

  // Group the sorted values; record each pair as (id << 32 | group).
  std::vector<uint64_t> by_id(n);
  for (size_t i = 0; i < n;) {
    const double key = pairs[i].first;
    const uint64_t group = tree.keys_.size();
    tree.keys_.push_back(key);
    do {
      by_id[i] = uint64_t{pairs[i].second} << 32 | group;
      ++i;
    } while (i < n && joins_group(pairs[i].first, key));
  }
  std::vector<Pair>().swap(pairs);
  tree.keys_.shrink_to_fit();

  // Sorted by id then group, the first entry of each id carries its smallest
  // group. Keep those, in ascending id order.
  std::sort(by_id.begin(), by_id.end());
  size_t distinct = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k > 0 && (by_id[k] >> 32) == (by_id[k - 1] >> 32)) continue;
    by_id[distinct++] = by_id[k];
  }
  by_id.resize(distinct);

  // Counting sort by group; ids stay ascending within a run.
  const size_t groups = tree.keys_.size();
  tree.ends_.assign(groups, 0);
  for (uint64_t e : by_id) ++tree.ends_[static_cast<uint32_t>(e)];
  std::vector<uint32_t> next(groups);
  uint32_t end = 0;
  for (size_t g = 0; g < groups; ++g) {
    next[g] = end;
    end += tree.ends_[g];
    tree.ends_[g] = end;
  }
  tree.ids_.resize(distinct);
  std::vector<uint32_t> ascending(distinct);
  for (size_t k = 0; k < distinct; ++k) {
    const uint32_t id = static_cast<uint32_t>(by_id[k] >> 32);
    ascending[k] = id;
    tree.ids_[next[static_cast<uint32_t>(by_id[k])]++] = id;
  }
  tree.all_.addMany(ascending.size(), ascending.data());
  tree.all_.runOptimize();
  tree.all_.shrinkToFit();
  tree.make_blocks();
  return tree;
}

Roaring IntervalTree::part_of_block(size_t b, size_t begin, size_t end) const {
  const size_t first = block_pos_[b], last = block_pos_[b + 1];
  if (begin == first && end == last) return blocks_[b];
  if (2 * (end - begin) <= last - first) {
    std::vector<uint32_t> part(ids_.begin() + begin, ids_.begin() + end);
    sort_ids(part);
    return Roaring(part.size(), part.data());
  }
  // More than half of the block: the block minus the rest of it.
  std::vector<uint32_t> rest(ids_.begin() + first, ids_.begin() + begin);
  rest.insert(rest.end(), ids_.begin() + end, ids_.begin() + last);
  sort_ids(rest);
  Roaring result = blocks_[b];
  result -= Roaring(rest.size(), rest.data());
  return result;
}

Roaring IntervalTree::slice(size_t begin, size_t end) const {
  if (begin >= end) return Roaring();
  if (begin == 0 && end == ids_.size()) return all_;
  // Blocks overlapping [begin, end): from the one holding `begin` to the one
  // holding `end - 1`.
  const size_t b_first =
      std::upper_bound(block_pos_.begin(), block_pos_.end(), begin) - block_pos_.begin() - 1;
  const size_t b_last =
      std::upper_bound(block_pos_.begin(), block_pos_.end(), end - 1) - block_pos_.begin() - 1;
  std::vector<Roaring> parts;
  std::vector<const Roaring*> inputs;
  inputs.reserve(b_last - b_first + 1);
  parts.reserve(2);
  for (size_t b = b_first; b <= b_last; ++b) {
    const size_t lo = std::max<size_t>(begin, block_pos_[b]);
    const size_t hi = std::min<size_t>(end, block_pos_[b + 1]);
    if (lo == block_pos_[b] && hi == block_pos_[b + 1]) {
      inputs.push_back(&blocks_[b]);
    } else {
      parts.push_back(part_of_block(b, lo, hi));
    }
  }
  for (const Roaring& p : parts) inputs.push_back(&p);
  if (inputs.size() == 1) return *inputs[0];
  return Roaring::fastunion(inputs.size(), inputs.data());
}

void IntervalTree::make_blocks() {
  block_pos_.clear();
  blocks_.clear();
  const size_t target = std::max<size_t>(256, ids_.size() / 64);
  block_pos_.push_back(0);
  for (size_t node = 0; node < ends_.size(); ++node) {
    const bool last = node + 1 == ends_.size();
    if (ends_[node] - block_pos_.back() >= target || (last && ends_[node] > block_pos_.back())) {
      block_pos_.push_back(ends_[node]);
    }
  }
  blocks_.reserve(block_pos_.size() - 1);
  for (size_t b = 0; b + 1 < block_pos_.size(); ++b) {
    std::vector<uint32_t> part(ids_.begin() + block_pos_[b], ids_.begin() + block_pos_[b + 1]);
    sort_ids(part);
    blocks_.emplace_back(part.size(), part.data());
    blocks_.back().runOptimize();
    blocks_.back().shrinkToFit();
  }
}

Roaring IntervalTree::range_query(std::string_view op, double bound) const {
  if (keys_.empty()) return Roaring();
  // Node counts: keys below the bound, keys at or below it.
  auto below = [&] {
    return static_cast<size_t>(
        std::partition_point(keys_.begin(), keys_.end(), [&](double k) { return k < bound; }) -
        keys_.begin());
  };
  auto at_or_below = [&] {
    return static_cast<size_t>(
        std::partition_point(keys_.begin(), keys_.end(), [&](double k) { return k <= bound; }) -
        keys_.begin());
  };
  // The cumulative set of the first c nodes is ids_[0, run_begin(c)); the
  // last node's set minus it is the rest of ids_.
  if (op == "$lt") return slice(0, run_begin(below()));
  if (op == "$lte") return slice(0, run_begin(at_or_below()));
  if (op == "$gt") return slice(run_begin(at_or_below()), ids_.size());
  if (op == "$gte") return slice(run_begin(below()), ids_.size());
  return Roaring();
}

Roaring IntervalTree::ids_of_node(size_t node) const { return slice(run_begin(node), ends_[node]); }

Roaring IntervalTree::ids_up_to(size_t count) const { return slice(0, run_begin(count)); }

std::vector<IntervalTree::Pair> IntervalTree::pairs() const {
  std::vector<Pair> out;
  size_t empty_runs = 0;
  for (size_t node = 0; node < keys_.size(); ++node) {
    empty_runs += run_begin(node) == ends_[node] && ends_[node] > 0;
  }
  out.reserve(ids_.size() + empty_runs);
  for (size_t node = 0; node < keys_.size(); ++node) {
    const size_t begin = run_begin(node);
    const size_t end = ends_[node];
    if (begin == end) {
      if (end > 0) out.emplace_back(keys_[node], ids_[0]);
      continue;
    }
    for (size_t j = begin; j < end; ++j) out.emplace_back(keys_[node], ids_[j]);
  }
  return out;
}

IntervalTree IntervalTree::without(const Roaring& ids) const {
  if (!all_.intersect(ids)) return *this;
  IntervalTree tree;
  tree.keys_ = keys_;
  tree.ends_.resize(ends_.size());
  tree.ids_.reserve(ids_.size());
  for (size_t node = 0; node < keys_.size(); ++node) {
    for (size_t j = run_begin(node); j < ends_[node]; ++j) {
      if (!ids.contains(ids_[j])) tree.ids_.push_back(ids_[j]);
    }
    tree.ends_[node] = static_cast<uint32_t>(tree.ids_.size());
  }
  tree.ids_.shrink_to_fit();
  tree.all_ = all_;
  tree.all_ -= ids;
  tree.all_.runOptimize();
  tree.all_.shrinkToFit();
  tree.make_blocks();
  return tree;
}

size_t IntervalTree::memory_bytes() const {
  return sizeof(IntervalTree) + keys_.capacity() * sizeof(double) +
         ids_.capacity() * sizeof(uint32_t) + ends_.capacity() * sizeof(uint32_t) +
         all_.getSizeInBytes(false) + block_pos_.capacity() * sizeof(uint32_t) + [this] {
           size_t bytes = 0;
           for (const Roaring& b : blocks_) bytes += sizeof(Roaring) + b.getSizeInBytes(false);
           return bytes;
         }();
}

}  // namespace ostrel
