#include "storage.h"

#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <string>

#include "kernels.h"

namespace ostrel {
namespace {

// Written with write(2) so it cannot be reordered with other output of the
// process through a stdio buffer.
void announce_activation(size_t threshold) {
  const std::string line =
      "Activating quantization at " + std::to_string(threshold) + " vectors...\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(1, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report it; the switch goes on
    done += static_cast<size_t>(n);
  }
}

// Candidates from which on a search builds the per-query distance table
// instead of computing each candidate's sub-space distances.
constexpr size_t kTableThreshold = 64;

}  // namespace

VectorStorage::VectorStorage() : codes_(0), vectors_(0) {}

Status VectorStorage::store(uint32_t id, std::span<const float> vector) {
  std::unique_lock lock(quantizer_mu_);
  try {
    if (quantizer_ == nullptr) {
      Status s = activate_if_due();
      if (!s.ok()) return s;
    }
    Status s = quantizer_ ? store_code(id, vector) : store_raw(id, vector);
    if (!s.ok()) return s;
    stored_.add(id);
  } catch (const std::bad_alloc&) {
    return Status::NoMemory("cannot store the vector of id " + std::to_string(id));
  } catch (const std::runtime_error&) {  // CRoaring's allocation failures
    return Status::NoMemory("cannot store the vector of id " + std::to_string(id));
  }
  return Status::OK();
}

Status VectorStorage::store_raw(uint32_t id, std::span<const float> vector) {
  std::unique_lock lock(vectors_mu_);
  if (vector.empty()) {
    empty_vectors_.add(id);
    vectors_.erase(id);
  } else {
    if (vectors_.size() == 0 && vectors_.row_len() != vector.size()) {
      vectors_.clear();
      vectors_.set_row_len(vector.size());
    }
    if (vectors_.row_len() != vector.size()) {
      return Status::Internal("vector of length " + std::to_string(vector.size()) +
                              " stored beside vectors of length " +
                              std::to_string(vectors_.row_len()));
    }
    Result<float*> row = vectors_.emplace(id);
    if (!row.ok()) return row.status();
    std::copy(vector.begin(), vector.end(), *row);
    empty_vectors_.remove(id);
  }
  raw_slots_ = std::max<uint64_t>(raw_slots_, uint64_t{id} + 1);
  return Status::OK();
}

Status VectorStorage::store_code(uint32_t id, std::span<const float> vector) {
  std::unique_lock lock(codes_mu_);
  Result<uint8_t*> row = codes_.emplace(id);
  if (!row.ok()) return row.status();
  quantizer_->encode(vector, *row);
  return Status::OK();
}

Status VectorStorage::activate_if_due() {
  {
    std::shared_lock lock(vectors_mu_);
    if (raw_slots_ < QUANTIZATION_THRESHOLD) return Status::OK();
  }
  announce_activation(QUANTIZATION_THRESHOLD);
  std::unique_ptr<ProductQuantizer> pq;
  {
    std::shared_lock lock(vectors_mu_);
    // The rows themselves serve as training vectors (ascending id order):
    // no copies are needed since nothing writes them meanwhile.
    std::vector<std::span<const float>> training;
    training.reserve(vectors_.size());
    const size_t dim = vectors_.row_len();
    vectors_.for_each([&](uint32_t, const float* row) { training.emplace_back(row, dim); });
    pq = ProductQuantizer::train(NOMINAL_DIMENSION, training);
  }
  {
    std::unique_lock codes_lock(codes_mu_);
    std::shared_lock vectors_lock(vectors_mu_);
    codes_ = SlotTable<uint8_t>(pq->num_subspaces());
    Status failed;
    const size_t dim = vectors_.row_len();
    vectors_.for_each([&](uint32_t id, const float* row) {
      if (!failed.ok()) return;
      Result<uint8_t*> code = codes_.emplace(id);
      if (!code.ok()) {
        failed = code.status();
        return;
      }
      pq->encode(std::span<const float>(row, dim), *code);
    });
    for (uint32_t id : empty_vectors_) {  // an empty vector's code is all zeros
      if (!failed.ok()) break;
      Result<uint8_t*> code = codes_.emplace(id);
      if (!code.ok()) failed = code.status();
    }
    if (!failed.ok()) {  // stay raw, as if the switch had not started
      codes_.clear();
      return failed;
    }
  }
  {
    std::unique_lock lock(vectors_mu_);
    vectors_.clear();
    empty_vectors_ = Roaring();
    raw_slots_ = 0;
  }
  quantizer_ = std::move(pq);
#if defined(__GLIBC__)
  // The raw pages were small heap blocks: hand their memory back to the
  // system now rather than keeping it for allocations that may never come.
  malloc_trim(0);
#endif
  return Status::OK();
}

float VectorStorage::score_raw(std::span<const float> query, std::span<const float> v) const {
  if (query.size() == v.size()) {
    return static_cast<float>(1.0 - kernels::cos_f32(query.data(), v.data(), v.size()));
  }
  if (query.empty()) return 0.0f;
  // Unequal lengths: cosine on the common prefix, three float sums in order.
  // (A query longer than the stored vector is cut to the stored length.)
  const size_t n = std::min(query.size(), v.size());
  float dot = 0.0f, nq = 0.0f, nv = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    dot += query[i] * v[i];
    nq += query[i] * query[i];
    nv += v[i] * v[i];
  }
  if (nq == 0.0f || nv == 0.0f) return 0.0f;
  return dot / (std::sqrt(nq) * std::sqrt(nv));
}

float VectorStorage::score_code(std::span<const float> query, const uint8_t* code) const {
  const ProductQuantizer& pq = *quantizer_;
  const size_t sub = pq.subspace_dim();
  float total = 0.0f;
  for (size_t i = 0; i < pq.num_subspaces(); ++i) {
    const size_t start = i * sub;
    if (start >= query.size()) break;
    const size_t end = std::min(start + sub, query.size());
    // A slice longer than its centroid (query longer than the training
    // data) is cut to the centroid's length.
    const size_t n = std::min(end - start, pq.centroid_len(i, code[i]));
    total += static_cast<float>(
        kernels::l2sq_f32(query.data() + start, pq.centroid(i, code[i]).data(), n));
  }
  return 1.0f - std::fmin(std::sqrt(total) * 0.25f, 1.0f);
}

std::optional<float> VectorStorage::compute_similarity(std::span<const float> query,
                                                       uint32_t id) const {
  std::shared_lock lock(quantizer_mu_);
  if (quantizer_ != nullptr) {
    std::shared_lock codes_lock(codes_mu_);
    const uint8_t* code = codes_.find(id);
    if (code == nullptr) return std::nullopt;
    return score_code(query, code);
  }
  std::shared_lock vectors_lock(vectors_mu_);
  if (const float* row = vectors_.find(id)) {
    return score_raw(query, std::span<const float>(row, vectors_.row_len()));
  }
  if (empty_vectors_.contains(id)) return score_raw(query, {});
  return std::nullopt;
}

VectorStorage::QueryTable VectorStorage::prepare(std::span<const float> query,
                                                 size_t candidates) const {
  std::shared_lock lock(quantizer_mu_);
  if (quantizer_ == nullptr || candidates < kTableThreshold) return {};
  return make_table(query);
}

void VectorStorage::score(std::span<const float> query, std::span<const uint32_t> ids,
                          std::vector<ScoredPair>* out, const QueryTable* table) const {
  std::shared_lock lock(quantizer_mu_);
  if (quantizer_ != nullptr) {
    if (table != nullptr && table->quantizer == quantizer_.get()) {
      return score_codes_with_table(*table, ids, out);
    }
    if (ids.size() >= kTableThreshold) return score_codes_with_table(make_table(query), ids, out);
    std::shared_lock codes_lock(codes_mu_);
    for (uint32_t id : ids) {
      if (const uint8_t* code = codes_.find(id)) out->push_back({id, score_code(query, code)});
    }
    return;
  }
  std::shared_lock vectors_lock(vectors_mu_);
  const std::span<const float> empty;
  for (uint32_t id : ids) {
    if (const float* row = vectors_.find(id)) {
      out->push_back({id, score_raw(query, std::span<const float>(row, vectors_.row_len()))});
    } else if (empty_vectors_.contains(id)) {
      out->push_back({id, score_raw(query, empty)});
    }
  }
}

// Same sums as score_code(): the table holds, per sub-space, the distance
// from the query slice to every centroid, computed by the same arithmetic,
// and a candidate adds its table entries in sub-space order.
VectorStorage::QueryTable VectorStorage::make_table(std::span<const float> query) const {
  const ProductQuantizer& pq = *quantizer_;
  const size_t sub = pq.subspace_dim();
  QueryTable t;
  t.quantizer = &pq;
  while (t.used < pq.num_subspaces() && t.used * sub < query.size()) ++t.used;
  t.distances.resize(t.used * ProductQuantizer::CENTROIDS);
  for (size_t i = 0; i < t.used; ++i) {
    const size_t start = i * sub, end = std::min(start + sub, query.size());
    pq.subspace_distances(i, query.subspan(start, end - start),
                          t.distances.data() + i * ProductQuantizer::CENTROIDS);
  }
  return t;
}

void VectorStorage::score_codes_with_table(const QueryTable& t, std::span<const uint32_t> ids,
                                           std::vector<ScoredPair>* out) const {
  const size_t used = t.used;
  const std::vector<float>& table = t.distances;
  // Candidates go in groups of kGroup so that their (sequential, hence
  // latency-bound) sums advance side by side.
  constexpr size_t kGroup = 8;
  std::shared_lock codes_lock(codes_mu_);
  const uint8_t* codes[kGroup];
  uint32_t group_ids[kGroup];
  size_t filled = 0;
  auto flush = [&] {
    float total[kGroup] = {};
    for (size_t i = 0; i < used; ++i) {
      const float* row = table.data() + i * ProductQuantizer::CENTROIDS;
      for (size_t g = 0; g < filled; ++g) total[g] += row[codes[g][i]];
    }
    for (size_t g = 0; g < filled; ++g) {
      out->push_back({group_ids[g], 1.0f - std::fmin(std::sqrt(total[g]) * 0.25f, 1.0f)});
    }
    filled = 0;
  };
  SlotTable<uint8_t>::Cursor cursor;
  for (uint32_t id : ids) {
    const uint8_t* code = codes_.find(id, cursor);
    if (code == nullptr) continue;
    codes[filled] = code;
    group_ids[filled++] = id;
    if (filled == kGroup) flush();
  }
  flush();
}

Roaring VectorStorage::stored_ids() const {
  std::shared_lock lock(quantizer_mu_);
  return stored_;
}

bool VectorStorage::quantized() const {
  std::shared_lock lock(quantizer_mu_);
  return quantizer_ != nullptr;
}

uint64_t VectorStorage::raw_slot_count() const {
  std::shared_lock lock(vectors_mu_);
  return raw_slots_;
}

size_t VectorStorage::memory_bytes() const {
  std::shared_lock lock(quantizer_mu_);
  std::shared_lock codes_lock(codes_mu_);
  std::shared_lock vectors_lock(vectors_mu_);
  return codes_.memory_bytes() + vectors_.memory_bytes() + empty_vectors_.getSizeInBytes() +
         stored_.getSizeInBytes();
}

std::vector<uint8_t> VectorStorage::code_of(uint32_t id) const {
  std::shared_lock lock(quantizer_mu_);
  std::shared_lock codes_lock(codes_mu_);
  const uint8_t* code = codes_.find(id);
  if (code == nullptr || quantizer_ == nullptr) return {};
  return std::vector<uint8_t>(code, code + quantizer_->num_subspaces());
}

}  // namespace ostrel
