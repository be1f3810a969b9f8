#include "interval_tree.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

namespace ostrel {
namespace {

// Below this many ids a comparison sort beats the two counting passes.
constexpr size_t RADIX_MIN = size_t{1} << 16;

// Sorts distinct ids ascending. Dense ids (span within 256 ids per id) go
// through a bit array over their span, in linear time; sparse short slices
// through std::sort; sparse long ones (a range answer may hold millions of
// ids) through an LSD radix sort on two 16-bit digits.
void sort_ids(std::vector<uint32_t>& ids) {
  if (ids.size() < 2) return;
  const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  const uint32_t base = *lo;
  const size_t words = (size_t{*hi} - base) / 64 + 1;
  if (words <= 4 * ids.size()) {
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
  if (ids.size() < RADIX_MIN) {
    std::sort(ids.begin(), ids.end());
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

// Union of several sets. Folding them into one growing set (fastunion) can
// move its container array once per inserted container, which is quadratic
// for sparse ids with many containers; those go by pairwise merges, each
// linear in its inputs.
Roaring union_of(std::vector<const Roaring*> sets) {
  if (sets.empty()) return Roaring();
  size_t containers = 0;
  for (const Roaring* r : sets) containers += r->roaring.high_low_container.size;
  if (containers <= 4096) return Roaring::fastunion(sets.size(), sets.data());
  std::vector<Roaring> level;
  level.reserve((sets.size() + 1) / 2);
  for (size_t i = 0; i < sets.size(); i += 2) {
    level.push_back(i + 1 < sets.size() ? *sets[i] | *sets[i + 1] : *sets[i]);
  }
  while (level.size() > 1) {
    std::vector<Roaring> next;
    next.reserve((level.size() + 1) / 2);
    for (size_t i = 0; i < level.size(); i += 2) {
      next.push_back(i + 1 < level.size() ? level[i] | level[i + 1] : std::move(level[i]));
    }
    level = std::move(next);
  }
  return std::move(level[0]);
}

// Room for one more element, growing by an eighth rather than doubling:
// chunks take values one at a time and should not carry twice their size.
template <typename T>
void make_room(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.size() + v.size() / 8 + 16);
}

// n with key == n / 10^decimals exactly, if there is one that fits.
std::optional<int32_t> scaled_key(double key, double pow10) {
  const double x = key * pow10;
  if (!(std::fabs(x) <= 2147483647.0)) return std::nullopt;  // also NaN and infinities
  const double n = std::nearbyint(x);
  // A zero n reads back as +0.0: -0.0 stays exact.
  if (n / pow10 != key || std::signbit(n) != std::signbit(key)) return std::nullopt;
  return static_cast<int32_t>(n);
}

}  // namespace

void IntervalTree::Keys::assign(std::vector<double> keys) {
  for (int decimals = 0; decimals <= MAX_DECIMALS; ++decimals) {
    std::vector<int32_t> scaled;
    scaled.reserve(keys.size());
    for (double key : keys) {
      const std::optional<int32_t> n = scaled_key(key, POW10[decimals]);
      if (!n) break;
      scaled.push_back(*n);
    }
    if (scaled.size() < keys.size()) continue;
    scaled_ = std::move(scaled);
    std::vector<double>().swap(exact_);
    decimals_ = decimals;
    return;
  }
  keys.shrink_to_fit();
  exact_ = std::move(keys);
  std::vector<int32_t>().swap(scaled_);
  decimals_ = -1;
}

void IntervalTree::Keys::insert(size_t at, double key) {
  if (decimals_ >= 0) {
    if (const std::optional<int32_t> n = scaled_key(key, POW10[decimals_])) {
      make_room(scaled_);
      scaled_.insert(scaled_.begin() + at, *n);
      return;
    }
  } else {
    make_room(exact_);
    exact_.insert(exact_.begin() + at, key);
    return;
  }
  // More decimals, or doubles: encode the chunk's keys anew.
  std::vector<double> all = decoded(0);
  all.insert(all.begin() + at, key);
  assign(std::move(all));
}

void IntervalTree::Keys::erase_front(size_t count) {
  if (decimals_ < 0) {
    exact_.erase(exact_.begin(), exact_.begin() + count);
  } else {
    scaled_.erase(scaled_.begin(), scaled_.begin() + count);
  }
}

void IntervalTree::Keys::truncate(size_t count) {
  if (decimals_ < 0) {
    exact_.resize(count);
    exact_.shrink_to_fit();
  } else {
    scaled_.resize(count);
    scaled_.shrink_to_fit();
  }
}

std::vector<double> IntervalTree::Keys::decoded(size_t from) const {
  std::vector<double> out;
  out.reserve(size() - from);
  for (size_t i = from; i < size(); ++i) out.push_back((*this)[i]);
  return out;
}

size_t IntervalTree::Keys::memory_bytes() const {
  return exact_.capacity() * sizeof(double) + scaled_.capacity() * sizeof(int32_t);
}

IntervalTree IntervalTree::build(std::vector<Pair> pairs, size_t chunk_ids) {
  std::vector<double> keys;
  std::vector<uint32_t> ids;
  std::vector<uint32_t> ends;
  // NaN has no place in the order; it never comes from JSON input.
  std::erase_if(pairs, [](const Pair& p) { return std::isnan(p.first); });
  // Stable: among equal values (0.0 and -0.0) the first given becomes the key.
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return a.first < b.first; });
  const size_t n = pairs.size();
  if (n == 0) {
    IntervalTree empty;
    empty.chunk_ids_ = chunk_ids;
    return empty;
  }

  // Group the sorted values; record each pair as (id << 32 | group).
  std::vector<uint64_t> by_id(n);
  for (size_t i = 0; i < n;) {
    const double key = pairs[i].first;
    const uint64_t group = keys.size();
    keys.push_back(key);
    do {
      by_id[i] = uint64_t{pairs[i].second} << 32 | group;
      ++i;
    } while (i < n && joins_group(pairs[i].first, key));
  }
  std::vector<Pair>().swap(pairs);
  keys.shrink_to_fit();

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
  const size_t groups = keys.size();
  ends.assign(groups, 0);
  for (uint64_t e : by_id) ++ends[static_cast<uint32_t>(e)];
  std::vector<uint32_t> next(groups);
  uint32_t end = 0;
  for (size_t g = 0; g < groups; ++g) {
    next[g] = end;
    end += ends[g];
    ends[g] = end;
  }
  ids.resize(distinct);
  std::vector<uint32_t> ascending(distinct);
  for (size_t k = 0; k < distinct; ++k) {
    const uint32_t id = static_cast<uint32_t>(by_id[k] >> 32);
    ascending[k] = id;
    ids[next[static_cast<uint32_t>(by_id[k])]++] = id;
  }
  IntervalTree tree = from_flat(std::move(keys), std::move(ids), std::move(ends), chunk_ids);
  tree.all_ = Roaring(ascending.size(), ascending.data());
  tree.all_.runOptimize();
  return tree;
}

IntervalTree IntervalTree::from_flat(std::vector<double> keys, std::vector<uint32_t> ids,
                                     std::vector<uint32_t> ends, size_t chunk_ids) {
  IntervalTree tree;
  tree.chunk_ids_ = chunk_ids;
  const auto own = [&](size_t node) { return ends[node] - (node == 0 ? 0 : ends[node - 1]); };
  const size_t alone = alone_ids(chunk_ids);
  size_t node = 0;
  while (node < keys.size()) {
    const size_t first = node;
    const size_t id_begin = first == 0 ? 0 : ends[first - 1];
    do {
      ++node;
    } while (node < keys.size() && ends[node - 1] - id_begin < chunk_ids && own(node - 1) < alone &&
             own(node) < alone);
    Chunk c;
    c.keys.assign(std::vector<double>(keys.begin() + first, keys.begin() + node));
    c.ids.assign(ids.begin() + id_begin, ids.begin() + ends[node - 1]);
    c.ends.reserve(node - first);
    for (size_t j = first; j < node; ++j) c.ends.push_back(ends[j] - id_begin);
    c.set = c.slice(0, c.ids.size(), /*fresh=*/true);
    c.fold_ids();
    tree.chunks_.push_back(std::move(c));
  }
  tree.reindex();
  return tree;
}

void IntervalTree::reindex() {
  first_node_.resize(chunks_.size());
  size_t node = 0;
  for (size_t c = 0; c < chunks_.size(); ++c) {
    first_node_[c] = node;
    node += chunks_[c].keys.size();
  }
}

void IntervalTree::Chunk::fold_ids() {
  if (single()) std::vector<uint32_t>().swap(ids);
}

void IntervalTree::Chunk::unfold_ids() {
  if (ids.size() == id_count()) return;
  ids.resize(id_count());
  set.toUint32Array(ids.data());
}

Roaring IntervalTree::Chunk::slice(size_t begin, size_t end, bool fresh) const {
  if (begin >= end) return Roaring();
  if (single() && !fresh) return set;  // on node boundaries: the whole run
  if (!fresh && begin == 0 && end == ids.size()) return set;
  if (fresh || 2 * (end - begin) <= ids.size()) {
    std::vector<uint32_t> part(ids.begin() + begin, ids.begin() + end);
    sort_ids(part);
    Roaring r(part.size(), part.data());
    r.runOptimize();
    return r;
  }
  // More than half of the chunk: the chunk's set minus the rest.
  std::vector<uint32_t> rest(ids.begin(), ids.begin() + begin);
  rest.insert(rest.end(), ids.begin() + end, ids.end());
  sort_ids(rest);
  Roaring result = set;
  result -= Roaring(rest.size(), rest.data());
  return result;
}

size_t IntervalTree::node_count() const {
  return chunks_.empty() ? 0 : first_node_.back() + chunks_.back().keys.size();
}

IntervalTree::Place IntervalTree::place(size_t node) const {
  const size_t c =
      std::upper_bound(first_node_.begin(), first_node_.end(), node) - first_node_.begin() - 1;
  return {c, node - first_node_[c]};
}

double IntervalTree::key(size_t node) const {
  const Place p = place(node);
  return chunks_[p.chunk].keys[p.node];
}

IntervalTree::Place IntervalTree::count_below(double bound, bool inclusive) const {
  auto below = [&](double k) { return inclusive ? k <= bound : k < bound; };
  const size_t after = std::partition_point(chunks_.begin(), chunks_.end(),
                                            [&](const Chunk& c) { return below(c.keys[0]); }) -
                       chunks_.begin();
  if (after == 0) return {0, 0};
  const Chunk& c = chunks_[after - 1];
  size_t lo = 0, hi = c.keys.size();  // the first key of the chunk not below
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (below(c.keys[mid])) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return {after - 1, lo};
}

Roaring IntervalTree::prefix(Place end) const {
  if (chunks_.empty()) return Roaring();
  const Chunk& last = chunks_[end.chunk];
  const size_t split = last.run_begin(end.node);
  std::vector<const Roaring*> inputs;
  if (2 * end.chunk <= chunks_.size()) {  // the whole chunks before, plus part of this one
    Roaring part = last.slice(0, split);
    for (size_t c = 0; c < end.chunk; ++c) inputs.push_back(&chunks_[c].set);
    inputs.push_back(&part);
    return union_of(std::move(inputs));
  }
  // Most of the tree: everything minus the chunks after and the rest of this one.
  Roaring rest = last.slice(split, last.id_count());
  for (size_t c = end.chunk + 1; c < chunks_.size(); ++c) inputs.push_back(&chunks_[c].set);
  inputs.push_back(&rest);
  return all_ - union_of(std::move(inputs));
}

Roaring IntervalTree::range_query(std::string_view op, double bound) const {
  if (chunks_.empty()) return Roaring();
  if (op == "$lt") return prefix(count_below(bound, false));
  if (op == "$lte") return prefix(count_below(bound, true));
  if (op == "$gt") return all_ - prefix(count_below(bound, true));
  if (op == "$gte") return all_ - prefix(count_below(bound, false));
  return Roaring();
}

Roaring IntervalTree::equal_to(double value) const {
  const Place p = count_below(value, true);
  if (p.node == 0) return Roaring();  // every key is above the value
  const Chunk& c = chunks_[p.chunk];
  const size_t node = p.node - 1;
  if (c.keys[node] != value) return Roaring();
  return c.slice(c.run_begin(node), c.ends[node]);
}

Roaring IntervalTree::ids_of_node(size_t node) const {
  const Place p = place(node);
  const Chunk& c = chunks_[p.chunk];
  return c.slice(c.run_begin(p.node), c.ends[p.node]);
}

Roaring IntervalTree::ids_up_to(size_t count) const {
  if (count == 0 || chunks_.empty()) return Roaring();
  const Place p = place(count - 1);
  return prefix({p.chunk, p.node + 1});
}

std::vector<IntervalTree::Pair> IntervalTree::pairs() const {
  std::vector<Pair> out;
  out.reserve(all_.cardinality());
  std::optional<uint32_t> earlier;  // an id under some earlier node
  for (const Chunk& c : chunks_) {
    for (size_t node = 0; node < c.keys.size(); ++node) {
      const size_t begin = c.run_begin(node), end = c.ends[node];
      if (begin == end) {
        if (earlier) out.emplace_back(c.keys[node], *earlier);
        continue;
      }
      if (c.single()) {
        for (uint32_t id : c.set) out.emplace_back(c.keys[node], id);
      } else {
        for (size_t j = begin; j < end; ++j) out.emplace_back(c.keys[node], c.ids[j]);
      }
      if (!earlier) earlier = out.back().second;
    }
  }
  return out;
}

void IntervalTree::remove(const Roaring& ids) {
  if (!all_.intersect(ids)) return;
  for (Chunk& c : chunks_) {
    if (!c.set.intersect(ids)) continue;
    c.set -= ids;
    if (c.single()) {
      c.ends[0] = static_cast<uint32_t>(c.set.cardinality());
      continue;
    }
    size_t kept = 0, begin = 0;
    for (size_t node = 0; node < c.keys.size(); ++node) {
      for (size_t j = begin; j < c.ends[node]; ++j) {
        if (!ids.contains(c.ids[j])) c.ids[kept++] = c.ids[j];
      }
      begin = c.ends[node];
      c.ends[node] = static_cast<uint32_t>(kept);
    }
    c.ids.resize(kept);
  }
  all_ -= ids;
}

// Keys whose cumulative set is empty (no id under them or any smaller key)
// are not carried over by a rebuild, so they go before anything is merged.
void IntervalTree::drop_leading_empty_nodes() {
  size_t dropped_chunks = 0;
  while (dropped_chunks < chunks_.size() && chunks_[dropped_chunks].id_count() == 0)
    ++dropped_chunks;
  chunks_.erase(chunks_.begin(), chunks_.begin() + dropped_chunks);
  if (!chunks_.empty()) {
    Chunk& c = chunks_[0];
    const size_t empty =
        std::find_if(c.ends.begin(), c.ends.end(), [](uint32_t e) { return e > 0; }) -
        c.ends.begin();
    c.keys.erase_front(empty);
    c.ends.erase(c.ends.begin(), c.ends.begin() + empty);
    c.fold_ids();
  }
  reindex();
}

void IntervalTree::insert(std::vector<Pair> pending) {
  std::erase_if(pending, [](const Pair& p) { return std::isnan(p.first); });
  if (pending.empty()) return;
  drop_leading_empty_nodes();
  // Ascending, ties in the order given: the order of a rebuild's merge.
  std::stable_sort(pending.begin(), pending.end(),
                   [](const Pair& a, const Pair& b) { return a.first < b.first; });
  size_t done = 0;
  if (!chunks_.empty() && pending.size() <= INCREMENTAL_MAX) {
    while (done < pending.size() && insert_one(pending[done].first, pending[done].second)) ++done;
  }
  if (done == pending.size()) return;
  // Values placed so far took part in the greedy grouping exactly as a
  // rebuild would place them, so the rest can be merged by one.
  std::vector<Pair> merged(pending.begin() + done, pending.end());
  std::vector<Pair> own = pairs();
  merged.insert(merged.end(), own.begin(), own.end());
  *this = build(std::move(merged), chunk_ids_);
}

// One step of the grouping, in place: `value` joins the group of the last
// key at or below it when within GROUP_TOLERANCE of that key, else starts a
// group of its own. Returns false, changing nothing, when the step is not
// local: the id is already in the tree (its smallest value decides), or the
// new group would take in the next key.
bool IntervalTree::insert_one(double value, uint32_t id) {
  if (all_.contains(id)) return false;
  const Place p = count_below(value, true);  // p.node keys of chunk p.chunk are <= value
  Chunk& c = chunks_[p.chunk];
  std::optional<size_t> grown;  // a node of a multi-node chunk that took the id
  if (c.single() && p.node > 0 && joins_group(value, c.keys[0])) {
    ++c.ends[0];
  } else if (p.node > 0 && joins_group(value, c.keys[p.node - 1])) {
    make_room(c.ids);
    const size_t node = p.node - 1;
    const auto begin = c.ids.begin() + c.run_begin(node), end = c.ids.begin() + c.ends[node];
    c.ids.insert(std::upper_bound(begin, end, id), id);
    for (size_t j = node; j < c.ends.size(); ++j) ++c.ends[j];
    grown = node;
  } else {
    const std::optional<double> next = p.node < c.keys.size() ? c.keys[p.node]
                                       : p.chunk + 1 < chunks_.size()
                                           ? std::optional<double>(chunks_[p.chunk + 1].keys[0])
                                           : std::nullopt;
    if (next && joins_group(*next, value)) return false;
    c.unfold_ids();
    make_room(c.ids);
    const size_t begin = c.run_begin(p.node);
    make_room(c.ends);
    c.keys.insert(p.node, value);  // the last step that may throw
    c.ids.insert(c.ids.begin() + begin, id);
    c.ends.insert(c.ends.begin() + p.node, static_cast<uint32_t>(begin));
    for (size_t j = p.node; j < c.ends.size(); ++j) ++c.ends[j];
    for (size_t k = p.chunk + 1; k < first_node_.size(); ++k) ++first_node_[k];
  }
  c.set.add(id);
  all_.add(id);
  if (grown && c.ends[*grown] - c.run_begin(*grown) >= alone_ids(chunk_ids_)) {
    isolate(p.chunk, *grown);
  } else if (c.id_count() > 2 * chunk_ids_) {
    split(p.chunk);
  }
  return true;
}

void IntervalTree::split(size_t chunk) {
  Chunk& c = chunks_[chunk];
  if (c.keys.size() < 2) return;  // one node: nothing to cut
  // The node boundary nearest the middle of the ids, keeping a node in each half.
  const size_t half = c.ids.size() / 2;
  size_t cut = std::lower_bound(c.ends.begin(), c.ends.end(), half) - c.ends.begin() + 1;
  cut = std::clamp<size_t>(cut, 1, c.keys.size() - 1);
  split_at(chunk, cut);
}

void IntervalTree::isolate(size_t chunk, size_t node) {
  if (node + 1 < chunks_[chunk].keys.size()) split_at(chunk, node + 1);
  if (node > 0) split_at(chunk, node);
}

void IntervalTree::split_at(size_t chunk, size_t cut) {
  Chunk& c = chunks_[chunk];
  Chunk right;
  const size_t id_cut = c.ends[cut - 1];
  right.keys.assign(c.keys.decoded(cut));
  right.ids.assign(c.ids.begin() + id_cut, c.ids.end());
  for (size_t j = cut; j < c.ends.size(); ++j) right.ends.push_back(c.ends[j] - id_cut);
  c.keys.truncate(cut);
  c.ids.resize(id_cut);
  c.ends.resize(cut);
  c.ids.shrink_to_fit();
  c.ends.shrink_to_fit();
  c.set = c.slice(0, c.ids.size(), /*fresh=*/true);
  right.set = right.slice(0, right.ids.size(), /*fresh=*/true);
  c.fold_ids();
  right.fold_ids();
  chunks_.insert(chunks_.begin() + chunk + 1, std::move(right));
  reindex();
}

size_t IntervalTree::memory_bytes() const {
  size_t bytes =
      sizeof(IntervalTree) + all_.getSizeInBytes(false) + first_node_.capacity() * sizeof(size_t);
  for (const Chunk& c : chunks_) {
    bytes += sizeof(Chunk) + c.keys.memory_bytes() + c.ids.capacity() * sizeof(uint32_t) +
             c.ends.capacity() * sizeof(uint32_t) + c.set.getSizeInBytes(false);
  }
  return bytes;
}

}  // namespace ostrel
