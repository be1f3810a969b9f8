#include "lsh.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "kernels.h"
#include "uniform.h"

namespace ostrel {

// The ids of one bucket: up to two inline, more on the heap. 16 bytes, since
// most buckets of a 32-bit code hold one or two ids.
class LSH::IdList {
 public:
  IdList() = default;
  IdList(IdList&& o) noexcept : size_(o.size_), cap_(o.cap_), u_(o.u_) {
    o.size_ = 0;
    o.cap_ = kInline;
  }
  IdList& operator=(IdList&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_;
      cap_ = o.cap_;
      u_ = o.u_;
      o.size_ = 0;
      o.cap_ = kInline;
    }
    return *this;
  }
  ~IdList() { release(); }

  uint32_t size() const { return size_; }
  const uint32_t* data() const { return cap_ == kInline ? u_.inline_ids : u_.heap; }
  uint32_t* data() { return cap_ == kInline ? u_.inline_ids : u_.heap; }

  void push_back(uint32_t id) {  // throws std::bad_alloc
    if (size_ == cap_) grow();
    data()[size_++] = id;
  }

  // Keeps the ids for which drop(id) is false, in order.
  template <typename F>
  void erase_if(F&& drop) {
    uint32_t* ids = data();
    uint32_t kept = 0;
    for (uint32_t i = 0; i < size_; ++i)
      if (!drop(ids[i])) ids[kept++] = ids[i];
    size_ = kept;
  }

  size_t heap_bytes() const { return cap_ == kInline ? 0 : size_t{cap_} * 4; }

 private:
  static constexpr uint32_t kInline = 2;

  void grow() {
    const uint32_t cap = cap_ * 2;
    auto* heap = static_cast<uint32_t*>(std::malloc(size_t{cap} * sizeof(uint32_t)));
    if (heap == nullptr) throw std::bad_alloc();
    std::memcpy(heap, data(), size_t{size_} * sizeof(uint32_t));
    release();
    u_.heap = heap;
    cap_ = cap;
  }
  void release() {
    if (cap_ != kInline) std::free(u_.heap);
    cap_ = kInline;
  }

  uint32_t size_ = 0;
  uint32_t cap_ = kInline;
  union {
    uint32_t inline_ids[kInline];
    uint32_t* heap;
  } u_{};
};

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
    for (Buckets& buckets : tables_) buckets.try_emplace(code).first->push_back(id);
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot file id " + std::to_string(id) + " in the candidate index");
  }
  return Status::OK();
}

std::vector<uint32_t> LSH::query_candidates(std::span<const float> vector, uint64_t limit) const {
  const uint64_t code = hash_vector(vector);
  FlatIdSet found;
  // Offers each id of a bucket; false once `limit` ids are held.
  auto offer = [&](const IdList& ids) {
    for (uint32_t i = 0; i < ids.size(); ++i) {
      found.insert(ids.data()[i]);
      if (found.size() >= limit) return false;
    }
    return true;
  };
  std::shared_lock lock(mu_);
  for (const Buckets& buckets : tables_) {
    if (buckets.empty()) continue;
    if (const IdList* exact = buckets.find(code); exact && !offer(*exact)) return found.take_ids();
    for (size_t bit = 0; bit < PROBED_BITS; ++bit) {
      const IdList* probe = buckets.find(code ^ (uint64_t{1} << bit));
      if (probe && !offer(*probe)) return found.take_ids();
    }
  }
  if (found.size() < limit / 2) {
    for (const Buckets& buckets : tables_) {
      size_t visited = 0;
      bool full = false;
      buckets.for_each_while([&](uint64_t, const IdList& ids) {
        ++visited;  // an emptied bucket still counts
        full = !offer(ids);
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
        [id](uint64_t, IdList& ids) { ids.erase_if([id](uint32_t x) { return x == id; }); });
}

void LSH::remove_all(const Roaring& ids) {
  if (ids.isEmpty()) return;
  std::unique_lock lock(mu_);
  for (Buckets& buckets : tables_)
    buckets.for_each_mut([&ids](uint64_t, IdList& list) {
      list.erase_if([&ids](uint32_t x) { return ids.contains(x); });
    });
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
  for (const Buckets& b : tables_) {
    bytes += b.memory_bytes();
    b.for_each([&](uint64_t, const IdList& ids) { bytes += ids.heap_bytes(); });
  }
  return bytes;
}

}  // namespace ostrel
