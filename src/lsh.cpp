#include "lsh.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "flat_map.h"
#include "kernels.h"
#include "uniform.h"

namespace ostrel {

// ---- CodeIndex

namespace {

// Makes room for one more element without giving up amortised growth, so
// that the push_back that follows cannot throw.
template <typename T>
void reserve_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<size_t>(16, v.size() * 2));
}

// Calls f(mask) for every `bits`-bit mask with exactly `r` bits set.
template <typename F>
void for_each_mask(int bits, int r, F&& f) {
  if (r == 0) return f(0u);
  const uint64_t end = uint64_t{1} << bits;
  for (uint64_t m = (uint64_t{1} << r) - 1; m < end;) {
    f(static_cast<uint32_t>(m));
    const uint64_t low = m & (~m + 1), ripple = m + low;  // Gosper's hack
    m = (((ripple ^ m) >> 2) / low) | ripple;
  }
}

double binomial(int n, int k) {
  double b = 1;
  for (int i = 1; i <= k; ++i) b = b * (n - k + i) / i;
  return b;
}

// Sort key of a code found for `query`: distance first, then the code.
uint64_t rank_key(uint32_t code, uint32_t query) {
  return (uint64_t(std::popcount(code ^ query)) << 32) | code;
}

struct Hit {
  uint64_t key;
  uint32_t entry;
  bool operator<(const Hit& o) const { return key < o.key; }
};

void take_nearest(std::vector<Hit>& pool, size_t count, std::vector<uint32_t>* out) {
  count = std::min(count, pool.size());
  std::partial_sort(pool.begin(), pool.begin() + count, pool.end());
  for (size_t i = 0; i < count; ++i) out->push_back(pool[i].entry);
}

}  // namespace

uint32_t CodeIndex::find(uint32_t code) const {
  if (codes_.empty()) return kNone;
  for (uint32_t e = heads_[0][key(code, 0)]; e != kNone; e = next_[0][e]) {
    if (codes_[e] == code) return e;
  }
  return kNone;
}

uint32_t CodeIndex::add(uint32_t code) {
  // Chains average at most two codes: double the keys when they would not.
  if (heads_[0].empty()) {
    rehash(kMinKeyBits);
  } else if (codes_.size() >= (size_t{2} << key_bits_) && key_bits_ < kHalfBits) {
    rehash(key_bits_ + 1);
  }
  reserve_one(codes_);
  reserve_one(next_[0]);
  reserve_one(next_[1]);
  const auto entry = static_cast<uint32_t>(codes_.size());
  codes_.push_back(code);
  for (int half = 0; half < 2; ++half) {
    uint32_t& head = heads_[half][key(code, half)];
    next_[half].push_back(head);
    head = entry;
  }
  return entry;
}

void CodeIndex::rehash(int key_bits) {
  std::vector<uint32_t> heads[2], next[2];
  for (int half = 0; half < 2; ++half) {
    heads[half].assign(size_t{1} << key_bits, kNone);
    next[half].reserve(std::max(codes_.capacity(), size_t{16}));
    next[half].resize(codes_.size());
  }
  key_bits_ = key_bits;  // nothing throws from here on
  for (int half = 0; half < 2; ++half) {
    for (uint32_t e = 0; e < codes_.size(); ++e) {
      uint32_t& head = heads[half][key(codes_[e], half)];
      next[half][e] = head;
      head = e;
    }
    heads_[half].swap(heads[half]);
    next_[half].swap(next[half]);
  }
}

void CodeIndex::nearest(uint32_t query, size_t count, std::vector<uint32_t>* out) const {
  out->clear();
  const size_t n = codes_.size();
  if (count == 0 || n == 0) return;
  count = std::min(count, n);
  // A round of radius r follows 2 * C(key_bits, r) chains; once the rounds
  // would cost more than looking at every code, sweep instead.
  const double chain_cost = 1.0 + double(n) / double(size_t{1} << key_bits_);
  double spent = 0;
  std::vector<Hit> pool;
  for (int r = 0; r <= key_bits_; ++r) {
    spent += 2 * binomial(key_bits_, r) * chain_cost;
    if (spent > double(n)) return sweep(query, count, out);
    for (int half = 0; half < 2; ++half) {
      const uint32_t qkey = key(query, half), qother = key(query, 1 - half);
      for_each_mask(key_bits_, r, [&](uint32_t flip) {
        for (uint32_t e = heads_[half][qkey ^ flip]; e != kNone; e = next_[half][e]) {
          // A code is reached through both halves: keep it from the half
          // whose key is nearer the query's (the low half on a tie).
          const int other = std::popcount(key(codes_[e], 1 - half) ^ qother);
          if (half == 0 ? other < r : other <= r) continue;
          pool.push_back({rank_key(codes_[e], query), e});
        }
      });
    }
    // Every code within distance 2r + 1 of the query is in the pool now.
    const uint64_t bound = uint64_t(2 * r + 2) << 32;
    const auto complete =
        std::count_if(pool.begin(), pool.end(), [&](const Hit& h) { return h.key < bound; });
    if (size_t(complete) >= count) break;
  }
  take_nearest(pool, count, out);
}

void CodeIndex::sweep(uint32_t query, size_t count, std::vector<uint32_t>* out) const {
  size_t at[33] = {};
  for (uint32_t c : codes_) ++at[std::popcount(c ^ query)];
  int radius = 0;
  for (size_t seen = at[0]; seen < count; seen += at[++radius]) {
  }
  std::vector<Hit> pool;
  for (uint32_t e = 0; e < codes_.size(); ++e) {
    if (std::popcount(codes_[e] ^ query) <= radius) pool.push_back({rank_key(codes_[e], query), e});
  }
  take_nearest(pool, count, out);
}

size_t CodeIndex::memory_bytes() const {
  size_t bytes = codes_.capacity() * sizeof(uint32_t);
  for (int half = 0; half < 2; ++half) {
    bytes += (heads_[half].capacity() + next_[half].capacity()) * sizeof(uint32_t);
  }
  return bytes;
}

// ---- LSH

LSH::Ids LSH::ids_of(const Bucket& b) const {
  if (b.tag & Bucket::kOverflow) {
    const std::vector<uint32_t>& list = overflow_[b.tag & ~Bucket::kOverflow];
    return {list.data(), list.size()};
  }
  return {&b.id, b.tag};
}

void LSH::push(Bucket& b, uint32_t id) {
  if (b.tag & Bucket::kOverflow) {
    overflow_[b.tag & ~Bucket::kOverflow].push_back(id);
  } else if (b.tag == 0) {
    b.tag = 1;
    b.id = id;
  } else {
    overflow_.push_back({b.id, id});
    b.tag = Bucket::kOverflow | static_cast<uint32_t>(overflow_.size() - 1);
  }
}

template <typename Drop>
void LSH::erase_if(Drop&& drop) {
  for (Bucket& b : buckets_) {
    if (b.tag & Bucket::kOverflow) {
      std::erase_if(overflow_[b.tag & ~Bucket::kOverflow], drop);
    } else if (b.tag == 1 && drop(b.id)) {
      b.tag = 0;
    }
  }
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

uint64_t LSH::hash_vector(std::span<const float> vector, size_t /*table*/) const {
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
  std::unique_lock lock(mu_);
  try {
    uint32_t entry = codes_.find(code);
    if (entry == CodeIndex::kNone) {
      reserve_one(buckets_);
      entry = codes_.add(code);
      buckets_.emplace_back();
    }
    push(buckets_[entry], id);
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot file id " + std::to_string(id) + " in the candidate index");
  }
  return Status::OK();
}

std::vector<uint32_t> LSH::query_candidates(std::span<const float> vector, uint64_t limit) const {
  return query_code(static_cast<uint32_t>(hash_vector(vector)), limit);
}

std::vector<uint32_t> LSH::query_code(uint32_t code, uint64_t limit) const {
  FlatIdSet found;
  // Offers each id of an entry's bucket; false once `limit` ids are held.
  auto offer = [&](uint32_t entry) {
    if (entry == CodeIndex::kNone) return true;
    for (uint32_t id : ids_of(buckets_[entry])) {
      found.insert(id);
      if (found.size() >= limit) return false;
    }
    return true;
  };
  std::shared_lock lock(mu_);
  if (codes_.size() == 0) return {};
  if (!offer(codes_.find(code))) return found.take_ids();
  for (size_t bit = 0; bit < PROBED_BITS; ++bit) {
    if (!offer(codes_.find(code ^ (uint32_t{1} << bit)))) return found.take_ids();
  }
  if (found.size() < limit / 2) {
    std::vector<uint32_t> nearest;
    codes_.nearest(code, SCAN_ENTRIES, &nearest);
    for (uint32_t entry : nearest) {
      if (!offer(entry)) break;
    }
  }
  return found.take_ids();
}

void LSH::remove(uint32_t id) {
  std::unique_lock lock(mu_);
  erase_if([id](uint32_t x) { return x == id; });
}

void LSH::remove_all(const Roaring& ids) {
  if (ids.isEmpty()) return;
  std::unique_lock lock(mu_);
  erase_if([&ids](uint32_t x) { return ids.contains(x); });
}

size_t LSH::bucket_count() const {
  std::shared_lock lock(mu_);
  return buckets_.size();
}

size_t LSH::memory_bytes() const {
  std::shared_lock lock(mu_);
  size_t bytes = planes_.capacity() * sizeof(float) + codes_.memory_bytes() +
                 buckets_.capacity() * sizeof(Bucket);
  bytes += overflow_.capacity() * sizeof(overflow_[0]);
  for (const auto& list : overflow_) bytes += list.capacity() * sizeof(uint32_t);
  return bytes;
}

}  // namespace ostrel
