#include "lsh.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "flat_map.h"
#include "kernels.h"
#include "uniform.h"

namespace ostrel {

// ---- CodeIndex

namespace {

// Bits set in x. std::popcount compiles to a library call on CPUs without a
// popcount instruction in the baseline (x86-64); this stays inline.
inline int bits_set(uint32_t x) {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  return static_cast<int>((((x + (x >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
}

// Calls f(mask) for every `bits`-bit mask with exactly `r` bits set.
template <typename F>
void for_each_mask(int bits, int r, F&& f) {
  if (r == 0) return f(0u);
  const uint64_t end = uint64_t{1} << bits;
  for (uint64_t m = (uint64_t{1} << r) - 1; m < end;) {
    f(static_cast<uint32_t>(m));
    const uint64_t low = m & (~m + 1), ripple = m + low;  // Gosper's hack
    m = (((ripple ^ m) >> std::countr_zero(low)) >> 2) | ripple;
  }
}

double binomial(int n, int k) {
  double b = 1;
  for (int i = 1; i <= k; ++i) b = b * (n - k + i) / i;
  return b;
}

// Sort key of a code found for `query`: distance first, then the code.
uint64_t rank_key(uint32_t code, uint32_t query) {
  return (uint64_t(bits_set(code ^ query)) << 32) | code;
}

void take_nearest(std::vector<uint64_t>& pool, size_t count, std::vector<uint32_t>* out) {
  count = std::min(count, pool.size());
  std::partial_sort(pool.begin(), pool.begin() + count, pool.end());
  for (size_t i = 0; i < count; ++i) out->push_back(static_cast<uint32_t>(pool[i]));
}

// Capacity of a list of `size` codes: the least rung at or above it of the
// ladder 0, 1, 2, ..., 8, 10, 12, 15, ... (each rung a quarter above the
// last, at least one), so little room is left unused and a growing list
// moves a bounded number of times per code added. A list is full when its
// size is a rung.
uint32_t capacity(uint64_t size) {
  uint64_t rung = 0;
  while (rung < size) rung += std::max<uint64_t>(1, rung / 4);
  return static_cast<uint32_t>(rung);
}

uint64_t seg(uint64_t begin, uint64_t size) { return begin | size << 32; }

// Makes room for `more` elements, keeping growth geometric (by a quarter).
void reserve_more(std::vector<uint32_t>& v, size_t more) {
  if (v.capacity() - v.size() < more) {
    v.reserve(std::max(v.capacity() + v.capacity() / 4, v.size() + more));
  }
}

}  // namespace

uint32_t* CodeIndex::add(uint32_t code, uint32_t value) {
  // Lists average at most eight codes: double the keys when they would not.
  // Arrays an eighth stale are compacted. Either builds anew, then swaps.
  if (halves_[0].segs.empty()) {
    rebuild(MIN_KEY_BITS);
  } else if (size_ + 1 > (size_t{8} << key_bits_) && key_bits_ < HALF_BITS) {
    rebuild(key_bits_ + 1);
  } else if (halves_[0].stale > halves_[0].slots.size() / 8 ||
             halves_[1].stale > halves_[1].slots.size() / 8) {
    rebuild(key_bits_);
  }
  // Room first (may throw), then the changes, which cannot.
  for (int half = 0; half < 2; ++half) {
    Lists& h = halves_[half];
    const uint64_t size = h.segs[key(code, half)] >> 32;
    if (size == capacity(size)) {
      reserve_more(h.slots, capacity(size + 1));
      if (half == 0) reserve_more(h.values, capacity(size + 1));
    }
  }
  uint32_t* kept = nullptr;
  for (int half = 0; half < 2; ++half) {
    Lists& h = halves_[half];
    uint64_t& s = h.segs[key(code, half)];
    uint64_t begin = uint32_t(s), size = s >> 32;
    if (size == capacity(size)) {  // full: move the list to the end
      const uint64_t moved = h.slots.size();
      h.slots.resize(moved + capacity(size + 1));
      std::copy_n(h.slots.begin() + begin, size, h.slots.begin() + moved);
      if (half == 0) {
        h.values.resize(moved + capacity(size + 1));
        std::copy_n(h.values.begin() + begin, size, h.values.begin() + moved);
      }
      h.stale += capacity(size);
      begin = moved;
    }
    h.slots[begin + size] = code;
    if (half == 0) kept = &(h.values[begin + size] = value);
    s = seg(begin, size + 1);
  }
  ++size_;
  return kept;
}

uint32_t* CodeIndex::find(uint32_t code) {
  if (size_ == 0) return nullptr;
  Lists& h = halves_[0];
  const uint64_t s = h.segs[key(code, 0)];
  for (uint64_t i = uint32_t(s), end = i + (s >> 32); i < end; ++i) {
    if (h.slots[i] == code) return &h.values[i];
  }
  return nullptr;
}

void CodeIndex::rebuild(int key_bits) {
  Lists fresh[2];
  const int old_bits = key_bits_;
  key_bits_ = key_bits;  // key() below uses the new width; restored if anything throws
  try {
    for (int half = 0; half < 2; ++half) {
      Lists& h = fresh[half];
      h.segs.assign(size_t{1} << key_bits, 0);
      auto each_code = [&](auto&& f) {  // every code and value, from the lists of half 0
        const Lists& from = halves_[0];
        for (uint64_t s : from.segs) {
          for (uint64_t i = uint32_t(s), end = i + (s >> 32); i < end; ++i) {
            f(from.slots[i], from.values[i]);
          }
        }
      };
      each_code([&](uint32_t c, uint32_t) { h.segs[key(c, half)] += uint64_t{1} << 32; });
      uint64_t begin = 0;
      for (uint64_t& s : h.segs) {
        const uint64_t size = s >> 32;
        s = seg(begin, 0);
        begin += capacity(size);
      }
      h.slots.resize(begin);
      if (half == 0) h.values.resize(begin);
      each_code([&](uint32_t c, uint32_t v) {
        uint64_t& s = h.segs[key(c, half)];
        const uint64_t at = uint32_t(s) + (s >> 32);
        h.slots[at] = c;
        if (half == 0) h.values[at] = v;
        s += uint64_t{1} << 32;
      });
    }
  } catch (...) {
    key_bits_ = old_bits;
    throw;
  }
  halves_[0] = std::move(fresh[0]);
  halves_[1] = std::move(fresh[1]);
}

void CodeIndex::nearest(uint32_t query, size_t count, std::vector<uint32_t>* out) const {
  out->clear();
  if (count == 0 || size_ == 0) return;
  count = std::min(count, size_);
  // The halves are searched to key radii reached[0] and reached[1], widened
  // in turn by one. A code is in the pool once either half's key is within
  // its reached radius, so every code within distance reached[0] +
  // reached[1] + 1 is. A widening to radius r reads C(key_bits, r) lists;
  // once the widenings would cost more than looking at every code, sweep.
  const double list_cost = 2.0 + double(size_) / double(size_t{1} << key_bits_);
  double spent = 0;
  int reached[2] = {-1, -1};
  std::vector<uint64_t> pool;
  pool.reserve(256);
  size_t at[33] = {};  // codes in the pool by distance
  std::vector<std::span<const uint32_t>> lists;
  for (int step = 0; reached[1] < key_bits_; ++step) {
    const int half = step % 2, r = reached[half] + 1;
    spent += binomial(key_bits_, r) * list_cost;
    if (spent > double(size_)) return sweep(query, count, out);
    // The lists are located first and read after, so that their cache
    // misses overlap instead of following one another.
    const Lists& h = halves_[half];
    const uint32_t qkey = key(query, half), qother = key(query, 1 - half);
    lists.clear();
    for_each_mask(key_bits_, r, [&](uint32_t flip) {
      lists.push_back(h.list(qkey ^ flip));
      __builtin_prefetch(lists.back().data());
    });
    for (std::span<const uint32_t> list : lists) {
      for (uint32_t c : list) {
        // Listed in both halves: skip it when the other half found it.
        if (bits_set(key(c, 1 - half) ^ qother) <= reached[1 - half]) continue;
        const uint64_t k = rank_key(c, query);
        ++at[k >> 32];
        pool.push_back(k);
      }
    }
    reached[half] = r;
    size_t complete = 0;
    for (int d = 0; d <= std::min(reached[0] + reached[1] + 1, 32); ++d) complete += at[d];
    if (complete >= count) break;
  }
  take_nearest(pool, count, out);
}

void CodeIndex::sweep(uint32_t query, size_t count, std::vector<uint32_t>* out) const {
  const Lists& all = halves_[0];
  auto each_code = [&](auto&& f) {
    for (size_t k = 0; k < all.segs.size(); ++k) {
      for (uint32_t c : all.list(static_cast<uint32_t>(k))) f(c);
    }
  };
  size_t at[33] = {};
  each_code([&](uint32_t c) { ++at[bits_set(c ^ query)]; });
  int radius = 0;
  for (size_t seen = at[0]; seen < count; seen += at[++radius]) {
  }
  std::vector<uint64_t> pool;
  each_code([&](uint32_t c) {
    if (bits_set(c ^ query) <= radius) pool.push_back(rank_key(c, query));
  });
  take_nearest(pool, count, out);
}

size_t CodeIndex::memory_bytes() const {
  size_t bytes = 0;
  for (const Lists& h : halves_) {
    bytes += h.segs.capacity() * sizeof(uint64_t) +
             (h.slots.capacity() + h.values.capacity()) * sizeof(uint32_t);
  }
  return bytes;
}

// ---- LSH

LSH::Ids LSH::ids_of(const uint32_t& bucket) const {
  if (bucket == EMPTY) return {};
  if (overflowed(bucket)) {
    const std::vector<uint32_t>& list = overflow_[bucket & ~OVERFLOW_TAG];
    return {list.data(), list.size()};
  }
  return {&bucket, 1};
}

void LSH::push(uint32_t& bucket, uint32_t id) {
  if (overflowed(bucket)) return overflow_[bucket & ~OVERFLOW_TAG].push_back(id);
  if (bucket == EMPTY && id < OVERFLOW_TAG) {
    bucket = id;
    return;
  }
  // A list index must stay below OVERFLOW_TAG - 1, so that no tagged index is EMPTY.
  if (overflow_.size() >= OVERFLOW_TAG - 1) throw std::bad_alloc();
  if (bucket == EMPTY) {
    overflow_.push_back({id});
  } else {
    overflow_.push_back({bucket, id});
  }
  bucket = OVERFLOW_TAG | static_cast<uint32_t>(overflow_.size() - 1);
}

template <typename Drop>
void LSH::erase_if(Drop&& drop) {
  buckets_.for_each_value([&](uint32_t& bucket) {
    if (overflowed(bucket)) {
      std::erase_if(overflow_[bucket & ~OVERFLOW_TAG], drop);
    } else if (bucket != EMPTY && drop(bucket)) {
      bucket = EMPTY;
    }
  });
}

LSH::LSH(size_t dim) : dim_(dim), planes_(dim * NUM_BITS) {
  UniformGenerator gen(HYPERPLANE_SEED);
  std::vector<float> plane(dim);
  for (size_t h = 0; h < NUM_BITS; ++h) {
    for (float& x : plane) x = gen.next();
    float sum = 0.0f;
    for (float x : plane) sum += x * x;
    if (sum > 0.0f) {
      const float norm = std::sqrt(sum);
      for (float& x : plane) x /= norm;
    }
    for (size_t j = 0; j < dim; ++j) planes_[j * NUM_BITS + h] = plane[j];
  }
}

LSH::~LSH() = default;

uint64_t LSH::hash_vector(std::span<const float> vector) const {
  const size_t n = std::min(vector.size(), dim_);
  float dots[NUM_BITS];
  kernels::dot32_f32(vector.data(), planes_.data(), n, dots);
  uint64_t code = 0;
  for (size_t h = 0; h < NUM_BITS; ++h)
    if (dots[h] > 0.0f) code |= uint64_t{1} << h;
  return code;
}

Status LSH::insert(std::span<const float> vector, uint32_t id) {
  return insert_code(static_cast<uint32_t>(hash_vector(vector)), id);
}

Status LSH::insert_code(uint32_t code, uint32_t id) {
  try {
    uint32_t* bucket = buckets_.find(code);
    if (bucket == nullptr) bucket = buckets_.add(code, EMPTY);
    push(*bucket, id);
    fullest_ = std::max<uint64_t>(fullest_, ids_of(*bucket).size());
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot file id " + std::to_string(id) + " in the candidate index");
  }
  return Status::OK();
}

std::vector<uint32_t> LSH::query_candidates(std::span<const float> vector, uint64_t limit,
                                            uint64_t wanted) const {
  return query_code(static_cast<uint32_t>(hash_vector(vector)), limit, wanted);
}

std::vector<uint32_t> LSH::query_code(uint32_t code, uint64_t limit, uint64_t wanted) const {
  FlatIdSet found;
  // Offers each id of a bucket; false once `limit` ids are held.
  auto offer = [&](uint32_t bucket_code) {
    const uint32_t* bucket = buckets_.find(bucket_code);
    if (bucket == nullptr) return true;
    for (uint32_t id : ids_of(*bucket)) {
      found.insert(id);
      if (found.size() >= limit) return false;
    }
    return true;
  };
  if (buckets_.size() == 0) return {};
  if (!offer(code)) return found.take_ids();
  for (size_t bit = 0; bit < PROBED_BITS; ++bit) {
    if (!offer(code ^ (uint32_t{1} << bit))) return found.take_ids();
  }
  if (found.size() < limit / 2) {
    if (found.size() + SCAN_ENTRIES * fullest_ < wanted) return found.take_ids();
    std::vector<uint32_t> nearest;
    buckets_.nearest(code, SCAN_ENTRIES, &nearest);
    for (uint32_t bucket_code : nearest) {
      if (!offer(bucket_code)) break;
    }
  }
  return found.take_ids();
}

void LSH::remove_all(const Roaring& ids) {
  if (ids.isEmpty()) return;
  erase_if([&ids](uint32_t x) { return ids.contains(x); });
}

size_t LSH::memory_bytes() const {
  size_t bytes = planes_.capacity() * sizeof(float) + buckets_.memory_bytes();
  bytes += overflow_.capacity() * sizeof(overflow_[0]);
  for (const auto& list : overflow_) bytes += list.capacity() * sizeof(uint32_t);
  return bytes;
}

}  // namespace ostrel
