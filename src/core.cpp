#include "core.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>

#include <roaring/roaring.hh>

#include "filter.h"
#include "flat_map.h"
#include "json.h"
#include "lsh.h"
#include "metadata_store.h"
#include "os_error.h"
#include "storage.h"
#include "thread_pool.h"

namespace ostrel {

namespace {

constexpr size_t kNominalDimension = 768;
// Candidates above which scoring is spread over the worker pool.
constexpr size_t kParallelScoring = 1000;

// mkdir with missing parents, mode 0777 (less the umask). An existing
// directory is fine; anything else at the path is the mkdir error.
Status create_dir_all(const std::string& path) {
  if (path.empty()) return Status::OK();
  if (::mkdir(path.c_str(), 0777) == 0) return Status::OK();
  int err = errno;
  struct stat st;
  if (err != ENOENT) {
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Status::OK();
    return os_error(err);
  }
  // Create the parent first: the path up to its last separator, trailing
  // separators dropped.
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  size_t cut = path.rfind('/', end == 0 ? 0 : end - 1);
  if (cut != std::string::npos && end > 0) {
    size_t parent_end = cut;
    while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
    std::string parent = path.substr(0, parent_end == 0 ? 1 : parent_end);
    Status s = create_dir_all(parent);
    if (!s.ok()) return s;
  }
  if (::mkdir(path.c_str(), 0777) == 0) return Status::OK();
  err = errno;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Status::OK();
  return os_error(err);
}

// Whole seconds since the Unix epoch, or nothing when the clock reads earlier.
std::optional<uint64_t> now_seconds() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return std::nullopt;
  return static_cast<uint64_t>(ts.tv_sec);
}

uint64_t saturating_add(uint64_t now, int64_t ttl) {
  if (ttl >= 0) {
    const uint64_t t = static_cast<uint64_t>(ttl);
    return now > std::numeric_limits<uint64_t>::max() - t ? std::numeric_limits<uint64_t>::max()
                                                          : now + t;
  }
  const uint64_t back = static_cast<uint64_t>(-(ttl + 1)) + 1;  // |ttl| without overflow
  return now < back ? 0 : now - back;
}

Status clock_fault() { return Status::Internal("the system clock reads before the Unix epoch"); }

// Ordering of scored pairs: higher score first; NaN scores after every number
// (NaN is not comparable, so it gets a place of its own that keeps this a
// strict order); then earlier candidate position first.
struct Better {
  const std::vector<ScoredPair>* pairs;
  bool operator()(uint32_t a, uint32_t b) const {
    const float x = (*pairs)[a].score, y = (*pairs)[b].score;
    const bool xn = std::isnan(x), yn = std::isnan(y);
    if (xn != yn) return yn;
    if (!xn && x != y) return x > y;
    return a < b;
  }
};

// The best k pairs, best first, equal scores in candidate order. A small k
// keeps a bounded heap whose top is the worst pair kept (one cheap test per
// pair); a large one selects with nth_element. Both keep exactly the k best
// under the same strict order, so they give the same list.
std::vector<ScoredPair> best_k(const std::vector<ScoredPair>& scored, uint64_t k) {
  if (k == 0 || scored.empty()) return {};
  const Better better{&scored};
  std::vector<uint32_t> order;
  if (k < scored.size() && k <= 256) {
    order.reserve(k);
    for (uint32_t i = 0; i < scored.size(); ++i) {
      if (order.size() < k) {
        order.push_back(i);
        std::push_heap(order.begin(), order.end(), better);
      } else if (better(i, order.front())) {
        std::pop_heap(order.begin(), order.end(), better);
        order.back() = i;
        std::push_heap(order.begin(), order.end(), better);
      }
    }
  } else {
    order.resize(scored.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    if (k < order.size()) {
      std::nth_element(order.begin(), order.begin() + k, order.end(), better);
      order.resize(k);
    }
  }
  std::sort(order.begin(), order.end(), better);
  std::vector<ScoredPair> out;
  out.reserve(order.size());
  for (uint32_t i : order) out.push_back(scored[i]);
  return out;
}

}  // namespace

// The engine's state. Every component has its own lock(s); see core.h.
class OstrelDBImpl {
 public:
  explicit OstrelDBImpl(std::string path)
      : path_(std::move(path)),
        lsh_(std::make_shared<LSH>(kNominalDimension)),
        storage_(std::make_shared<VectorStorage>()),
        metadata_store_(std::make_shared<MetadataStore>(path_)),
        filter_engine_(std::make_shared<FilterEngine>()) {}

  Status add(uint32_t id, std::vector<float> vector, std::string_view metadata,
             std::optional<int64_t> ttl);
  Result<std::vector<ResultTriple>> search(std::span<const float> query, uint64_t k,
                                           std::optional<std::string_view> filter_json,
                                           bool include_metadata);
  std::vector<ResultTriple> build_results(const std::vector<ScoredPair>& scored,
                                          bool include_metadata) const;
  Result<uint64_t> delete_matching(std::string_view filter_json);
  Result<uint64_t> count();
  Status clean_expired();

 private:
  void forget_filter_entries(uint32_t id, const std::optional<std::string>& previous);
  std::vector<uint32_t> choose_candidates(std::span<const float> query, uint64_t k,
                                          const std::optional<Roaring>& filter) const;
  std::vector<ScoredPair> score(std::span<const float> query,
                                const std::vector<uint32_t>& candidates) const;
  void remove_ids(const Roaring& ids);  // REQUIRES: deleted_mu_ held exclusively

  const std::string path_;
  std::shared_ptr<LSH> lsh_;  // replaced only by add(), which has exclusive access
  const std::shared_ptr<VectorStorage> storage_;
  const std::shared_ptr<MetadataStore> metadata_store_;
  const std::shared_ptr<FilterEngine> filter_engine_;

  mutable std::shared_mutex expiries_mu_;
  FlatMap<uint32_t, uint64_t> expiries_;  // GUARDED_BY(expiries_mu_): id -> expiry second

  mutable std::shared_mutex deleted_mu_;
  Roaring deleted_;  // GUARDED_BY(deleted_mu_): only grows

  mutable std::shared_mutex next_id_mu_;
  // One more than the highest id ever added. 64 bits wide, so that adding id
  // 4294967295 gives 4294967296 instead of wrapping to 0.
  uint64_t next_id_ = 0;  // GUARDED_BY(next_id_mu_)

  size_t dimension_ = 0;  // 0: no dimension fixed yet; changed only by add()
};

Status OstrelDBImpl::add(uint32_t id, std::vector<float> vector, std::string_view metadata,
                         std::optional<int64_t> ttl) {
  // 1. Dimension (and the candidate index built for it).
  if (dimension_ == 0) {
    lsh_ = std::make_shared<LSH>(vector.size());
    dimension_ = vector.size();
  } else if (vector.size() != dimension_) {
    return Status::Invalid("Dimension mismatch: expected " + std::to_string(dimension_) + ", got " +
                           std::to_string(vector.size()));
  }
  // 2. Id counter.
  {
    std::unique_lock lock(next_id_mu_);
    next_id_ = std::max(next_id_, uint64_t{id} + 1);
  }
  // 3. Candidate index; 4. vector or code.
  if (Status s = lsh_->insert(vector, id); !s.ok()) return s;
  if (Status s = storage_->store(id, vector); !s.ok()) return s;
  // 5. Metadata record. The previous record of a re-added id is read first:
  // its filter entries are replaced below by those of the new text.
  const bool re_added = metadata_store_->location(id).has_value();
  std::optional<std::string> previous;
  if (re_added) previous = metadata_store_->get(id);
  if (Status s = metadata_store_->append(id, metadata); !s.ok()) return s;
  if (re_added) forget_filter_entries(id, previous);
  // 6. All-documents set; 7. metadata indexing.
  filter_engine_->add_document(id);
  Result<json::Value> parsed = json::parse(metadata);
  if (!parsed.ok()) return parsed.status();
  if (parsed->is_object()) filter_engine_->index_object(parsed->as_object(), "", id);
  // 8. Expiry, saturating at both ends of the clock.
  if (ttl) {
    std::optional<uint64_t> now = now_seconds();
    if (!now) return clock_fault();
    std::unique_lock lock(expiries_mu_);
    *expiries_.try_emplace(id).first = saturating_add(*now, *ttl);
  }
  return Status::OK();
}

// Un-indexes exactly what the previous text of `id` indexed; when that text
// is gone or does not parse, takes the id out of every filter structure
// (add() puts it back into the set of all documents right after).
void OstrelDBImpl::forget_filter_entries(uint32_t id, const std::optional<std::string>& previous) {
  if (previous) {
    Result<json::Value> parsed = json::parse(*previous);
    if (parsed.ok()) {
      if (parsed->is_object()) filter_engine_->unindex_object(parsed->as_object(), "", id);
      return;
    }
  }
  filter_engine_->remove_document(id);
}

Status OstrelDBImpl::clean_expired() {
  std::optional<uint64_t> now = now_seconds();
  if (!now) return clock_fault();
  std::vector<uint32_t> expired;
  {
    std::shared_lock lock(expiries_mu_);
    expiries_.for_each([&](uint32_t id, uint64_t at) {
      if (at < *now) expired.push_back(id);
    });
  }
  if (expired.empty()) return Status::OK();
  Roaring ids(expired.size(), expired.data());
  std::unique_lock deleted_lock(deleted_mu_);
  {
    std::unique_lock lock(expiries_mu_);
    for (uint32_t id : expired) expiries_.erase(id);
  }
  remove_ids(ids);
  return Status::OK();
}

void OstrelDBImpl::remove_ids(const Roaring& ids) {
  deleted_ |= ids;
  lsh_->remove_all(ids);
  filter_engine_->remove_all(ids);
}

Result<uint64_t> OstrelDBImpl::delete_matching(std::string_view filter_json) {
  Result<ClauseResult> matched = filter_engine_->apply_filter(filter_json);
  if (!matched.ok()) return matched.status();
  if (!matched->has_value()) return uint64_t{0};
  const Roaring& ids = **matched;
  const uint64_t n = ids.cardinality();
  std::unique_lock lock(deleted_mu_);
  remove_ids(ids);
  return n;
}

Result<uint64_t> OstrelDBImpl::count() {
  if (Status s = clean_expired(); !s.ok()) return s;
  uint64_t next;
  {
    std::shared_lock lock(next_id_mu_);
    next = next_id_;
  }
  std::shared_lock lock(deleted_mu_);
  return next - deleted_.cardinality();
}

Result<std::vector<ResultTriple>> OstrelDBImpl::search(std::span<const float> query, uint64_t k,
                                                       std::optional<std::string_view> filter_json,
                                                       bool include_metadata) {
  if (Status s = clean_expired(); !s.ok()) return s;
  std::optional<Roaring> filter;
  if (filter_json) {
    Result<ClauseResult> applied = filter_engine_->apply_filter(*filter_json);
    if (!applied.ok()) return applied.status();
    filter = applied->has_value() ? std::move(**applied) : Roaring();
  }
  if (k == 0) return std::vector<ResultTriple>{};
  std::vector<uint32_t> candidates = choose_candidates(query, k, filter);
  std::vector<ScoredPair> kept = best_k(score(query, candidates), k);
  return build_results(kept, include_metadata);
}

// Candidate ids for a search: the index's proposals, or (when the index
// found too few) every eligible id in ascending order; deleted ids and ids
// outside the filter never pass.
std::vector<uint32_t> OstrelDBImpl::choose_candidates(std::span<const float> query, uint64_t k,
                                                      const std::optional<Roaring>& filter) const {
  const uint64_t limit = std::max<uint64_t>(k * 10, 1000);  // wraps, by definition
  std::vector<uint32_t> found = lsh_->query_candidates(query, limit);
  uint64_t next;
  {
    std::shared_lock lock(next_id_mu_);
    next = next_id_;
  }
  std::shared_lock lock(deleted_mu_);
  // Every eligible id, ascending: the filter set (at most `limit` of it), or
  // the ids holding a vector. Ids without a vector would be dropped by
  // scoring anyway, so they are not enumerated.
  auto rebuild = [&] {
    std::vector<uint32_t> all;
    const Roaring stored = filter ? Roaring() : storage_->stored_ids();
    const Roaring& source = filter ? *filter : stored;
    const uint64_t cap = filter ? limit : std::numeric_limits<uint64_t>::max();
    all.reserve(std::min<uint64_t>(source.cardinality(), std::min<uint64_t>(cap, 1 << 20)));
    // Ascending, in batches (one call per batch rather than per id).
    std::unique_ptr<roaring_uint32_iterator_t, void (*)(roaring_uint32_iterator_t*)> owner(
        roaring_create_iterator(&source.roaring), roaring_free_uint32_iterator);
    if (owner == nullptr) throw std::bad_alloc();
    roaring_uint32_iterator_t* it = owner.get();
    uint32_t batch[256];
    const bool check_deleted = !deleted_.isEmpty();
    while (all.size() < cap) {
      const uint32_t got = roaring_read_uint32_iterator(it, batch, 256);
      for (uint32_t i = 0; i < got && all.size() < cap; ++i) {
        if (!check_deleted || !deleted_.contains(batch[i])) all.push_back(batch[i]);
      }
      if (got < 256) break;
    }
    return all;
  };
  const bool too_few = found.size() / 2 < k;  // |C| < 2k without overflow
  if (too_few && found.size() < next) return rebuild();
  std::erase_if(found, [&](uint32_t id) {
    return deleted_.contains(id) || (filter && !filter->contains(id));
  });
  // The test above counts ids before removal: when the removal leaves fewer
  // than k although more eligible ids exist, rebuild as the fallback does.
  if (found.size() < k) {
    const uint64_t eligible = filter ? filter->andnot_cardinality(deleted_)
                                     : storage_->stored_ids().andnot_cardinality(deleted_);
    if (eligible > found.size()) return rebuild();
  }
  return found;
}

std::vector<ScoredPair> OstrelDBImpl::score(std::span<const float> query,
                                            const std::vector<uint32_t>& candidates) const {
  std::vector<ScoredPair> scored;
  const VectorStorage::QueryTable table = storage_->prepare(query, candidates.size());
  ThreadPool* pool = candidates.size() > kParallelScoring ? ThreadPool::instance() : nullptr;
  if (pool == nullptr) {
    scored.reserve(candidates.size());
    storage_->score(query, candidates, &scored, &table);
    return scored;
  }
  // Contiguous pieces scored into their own lists, concatenated in order:
  // the same list the sequential loop produces. Everything a piece needs is
  // allocated here, on the calling thread, so workers never allocate; a
  // piece that fails anyway is reported here as memory exhaustion.
  const size_t pieces = std::min(candidates.size(), pool->worker_count() + 1);
  const size_t per = (candidates.size() + pieces - 1) / pieces;
  std::vector<std::vector<ScoredPair>> parts(pieces);
  for (auto& part : parts) part.reserve(per);
  std::atomic<bool> failed{false};
  pool->run(pieces, [&](size_t p) {
    const size_t begin = std::min(candidates.size(), p * per);
    const size_t end = std::min(candidates.size(), begin + per);
    try {
      storage_->score(query, std::span<const uint32_t>(candidates).subspan(begin, end - begin),
                      &parts[p], &table);
    } catch (...) {
      failed = true;
    }
  });
  if (failed) throw std::bad_alloc();
  scored.reserve(candidates.size());
  for (auto& part : parts) scored.insert(scored.end(), part.begin(), part.end());
  return scored;
}

std::vector<ResultTriple> OstrelDBImpl::build_results(const std::vector<ScoredPair>& scored,
                                                      bool include_metadata) const {
  std::vector<ResultTriple> out;
  out.reserve(scored.size());
  for (const ScoredPair& p : scored) {
    if (!include_metadata) {
      out.push_back({p.id, p.score, std::string()});
    } else if (std::optional<std::string> text = metadata_store_->get(p.id)) {
      out.push_back({p.id, p.score, std::move(*text)});
    }
  }
  return out;
}

// ---- OstrelDB: the public face; turns allocation failures into statuses.

namespace {

template <typename F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return Status::NoMemory();
  } catch (const std::length_error&) {
    return Status::NoMemory();
  } catch (const std::runtime_error& e) {  // CRoaring reports failed allocations this way
    return Status::NoMemory(e.what());
  } catch (const std::exception& e) {
    return Status::Internal(e.what());
  }
}

}  // namespace

OstrelDB::OstrelDB(std::unique_ptr<OstrelDBImpl> impl) : impl_(std::move(impl)) {}
OstrelDB::~OstrelDB() = default;

Result<std::unique_ptr<OstrelDB>> OstrelDB::open(std::string path) {
  return guarded([&]() -> Result<std::unique_ptr<OstrelDB>> {
    if (path.find('\0') != std::string::npos) {
      return Status::Invalid("file name contained an unexpected NUL byte");
    }
    if (Status s = create_dir_all(path); !s.ok()) return s;
    return std::unique_ptr<OstrelDB>(new OstrelDB(std::make_unique<OstrelDBImpl>(std::move(path))));
  });
}

Status OstrelDB::add(uint32_t internal_id, std::vector<float> vector,
                     std::string_view metadata_json, std::optional<int64_t> ttl) {
  return guarded([&] { return impl_->add(internal_id, std::move(vector), metadata_json, ttl); });
}

Result<std::vector<ResultTriple>> OstrelDB::search(std::span<const float> query, uint64_t k,
                                                   std::optional<std::string_view> filter_json,
                                                   bool include_metadata) {
  return guarded([&] { return impl_->search(query, k, filter_json, include_metadata); });
}

Result<std::vector<ResultTriple>> OstrelDB::build_results(std::vector<ScoredPair> scored,
                                                          bool include_metadata) const {
  return guarded([&]() -> Result<std::vector<ResultTriple>> {
    return impl_->build_results(scored, include_metadata);
  });
}

Result<uint64_t> OstrelDB::delete_matching(std::string_view filter_json) {
  return guarded([&] { return impl_->delete_matching(filter_json); });
}

Result<uint64_t> OstrelDB::count() {
  return guarded([&] { return impl_->count(); });
}

Status OstrelDB::clean_expired() {
  return guarded([&] { return impl_->clean_expired(); });
}

}  // namespace ostrel
