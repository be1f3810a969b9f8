#include "lsh.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "kernels.h"
#include "uniform.h"

namespace ostrel {

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
void LSH::erase_if(Bucket& b, Drop&& drop) {
  if (b.tag & Bucket::kOverflow) {
    std::erase_if(overflow_[b.tag & ~Bucket::kOverflow], drop);
  } else if (b.tag == 1 && drop(b.id)) {
    b.tag = 0;
  }
}

LSH::LSH(size_t dim) : dim_(dim), planes_(dim * NUM_BITS), tables_(NUM_TABLES) {
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
  const uint64_t code = hash_vector(vector);
  std::unique_lock lock(mu_);
  try {
    for (Buckets& buckets : tables_)
      push(*buckets.try_emplace(static_cast<uint32_t>(code)).first, id);
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot file id " + std::to_string(id) + " in the candidate index");
  }
  return Status::OK();
}

std::vector<uint32_t> LSH::query_candidates(std::span<const float> vector, uint64_t limit) const {
  const uint64_t code = hash_vector(vector);
  FlatIdSet found;
  // Offers each id of a bucket; false once `limit` ids are held.
  auto offer = [&](const Bucket& bucket) {
    for (uint32_t id : ids_of(bucket)) {
      found.insert(id);
      if (found.size() >= limit) return false;
    }
    return true;
  };
  std::shared_lock lock(mu_);
  for (const Buckets& buckets : tables_) {
    if (buckets.empty()) continue;
    const auto code32 = static_cast<uint32_t>(code);
    if (const Bucket* exact = buckets.find(code32); exact && !offer(*exact)) {
      return found.take_ids();
    }
    for (size_t bit = 0; bit < PROBED_BITS; ++bit) {
      const Bucket* probe = buckets.find(code32 ^ (uint32_t{1} << bit));
      if (probe && !offer(*probe)) return found.take_ids();
    }
  }
  if (found.size() < limit / 2) {
    for (const Buckets& buckets : tables_) {
      size_t visited = 0;
      bool full = false;
      buckets.for_each_while([&](uint32_t, const Bucket& bucket) {
        ++visited;  // an emptied bucket still counts
        full = !offer(bucket);
        return !full && visited < SCAN_ENTRIES;
      });
      if (full) break;
    }
  }
  return found.take_ids();
}

void LSH::remove(uint32_t id) {
  std::unique_lock lock(mu_);
  for (Buckets& buckets : tables_)
    buckets.for_each_mut(
        [&](uint32_t, Bucket& b) { erase_if(b, [id](uint32_t x) { return x == id; }); });
}

void LSH::remove_all(const Roaring& ids) {
  if (ids.isEmpty()) return;
  std::unique_lock lock(mu_);
  for (Buckets& buckets : tables_)
    buckets.for_each_mut(
        [&](uint32_t, Bucket& b) { erase_if(b, [&ids](uint32_t x) { return ids.contains(x); }); });
}

size_t LSH::bucket_count() const {
  std::shared_lock lock(mu_);
  size_t n = 0;
  for (const Buckets& b : tables_) n += b.size();
  return n;
}

size_t LSH::memory_bytes() const {
  std::shared_lock lock(mu_);
  size_t bytes = planes_.capacity() * sizeof(float);
  for (const Buckets& b : tables_) bytes += b.memory_bytes();
  bytes += overflow_.capacity() * sizeof(overflow_[0]);
  for (const auto& list : overflow_) bytes += list.capacity() * sizeof(uint32_t);
  return bytes;
}

}  // namespace ostrel
