#include "core.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <stdexcept>

#include <roaring/roaring.hh>

#include "filter.h"
#include "flat_map.h"
#include "heap.h"
#include "id_map.h"
#include "json.h"
#include "lsh.h"
#include "metadata_store.h"
#include "os_error.h"
#include "search.h"
#include "storage.h"
#include "thread_annotations.h"

namespace ostrel {

namespace {

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

}  // namespace

// The engine's state, guarded by one reader-writer lock. add(), delete and
// the purge of expired documents take it exclusively; searching, counting
// and building results take it shared (a search takes it exclusively first
// only when it has documents to purge or numbers to merge into the range
// index). Components have no locks of their own; the scoring pool's workers
// read the storage under the lock the searching thread holds while it waits.
//
// Components file documents by row (id_map.h), not by id: ids_ translates
// at the boundary (add, results, build_results), so that memory follows the
// number of documents whatever ids the caller uses. next_id_ and the
// ordering rules of search are about ids.
class OstrelDBImpl {
 public:
  OstrelDBImpl(std::string path, std::optional<ScoringPlan> plan)
      : path_(std::move(path)),
        plan_(plan),
        lsh_(std::make_unique<LSH>(Options::NOMINAL_DIMENSION)),
        metadata_store_(path_) {}

  Status add(uint32_t id, std::vector<float> vector, std::string_view metadata,
             std::optional<int64_t> ttl) EXCLUDES(mu_);
  Result<std::vector<ResultTriple>> search(std::span<const float> query, uint64_t k,
                                           std::optional<std::string_view> filter_json,
                                           bool include_metadata) EXCLUDES(mu_);
  std::vector<ResultTriple> build_results(const std::vector<ScoredPair>& scored,
                                          bool include_metadata) const EXCLUDES(mu_);
  Result<uint64_t> delete_matching(std::string_view filter_json) EXCLUDES(mu_);
  Result<uint64_t> count() EXCLUDES(mu_);
  Status clean_expired() EXCLUDES(mu_);

 private:
  void forget_filter_entries(uint32_t row, const std::optional<std::string>& previous)
      REQUIRES(mu_);
  // Rows whose expiry time is before `now`.
  std::vector<uint32_t> expired_rows(uint64_t now) const REQUIRES_SHARED(mu_);
  // Runs `read` under the lock, after purging the documents expired at
  // `now` and, when `merge_numbers`, merging the pending numbers into the
  // range index: shared when neither is due, else exclusive. Either way the
  // purge, the merge and `read` are one hold, so no add can come between
  // them (a number it left pending would be missing from a range, a
  // document it added expired would be found).
  template <typename Read>
  auto with_state_current(uint64_t now, bool merge_numbers, Read&& read) EXCLUDES(mu_);
  void purge_expired(uint64_t now) REQUIRES(mu_);
  Result<std::vector<ResultTriple>> search_current(std::span<const float> query, uint64_t k,
                                                   std::optional<std::string_view> filter_json,
                                                   bool include_metadata) const
      REQUIRES_SHARED(mu_);
  search::Candidates choose_candidates(std::span<const float> query, uint64_t k,
                                       const std::optional<Roaring>& filter) const
      REQUIRES_SHARED(mu_);
  // build_results() for pairs of rows (a search's own result).
  std::vector<ResultTriple> build_row_results(const std::vector<ScoredPair>& scored,
                                              bool include_metadata) const REQUIRES_SHARED(mu_);
  void remove_rows(const Roaring& rows) REQUIRES(mu_);

  const std::string path_;
  const std::optional<ScoringPlan> plan_;  // forced by tests; else the machine's
  mutable SharedMutex mu_;
  std::unique_ptr<LSH> lsh_ GUARDED_BY(mu_);  // replaced by the first add()
  VectorStorage storage_ GUARDED_BY(mu_);
  MetadataStore metadata_store_ GUARDED_BY(mu_);
  FilterEngine filter_engine_ GUARDED_BY(mu_);
  IdMap ids_ GUARDED_BY(mu_);
  FlatMap<uint32_t, uint64_t> expiries_ GUARDED_BY(mu_);  // row -> expiry second
  Roaring deleted_ GUARDED_BY(mu_);                       // rows; only grows
  // One more than the highest id ever added. 64 bits wide, so that adding id
  // 4294967295 gives 4294967296 instead of wrapping to 0.
  uint64_t next_id_ GUARDED_BY(mu_) = 0;
  size_t dimension_ GUARDED_BY(mu_) = 0;           // 0: no dimension fixed yet
  size_t adds_since_release_ GUARDED_BY(mu_) = 0;  // see Options::HEAP_RELEASE_INTERVAL
};

Status OstrelDBImpl::add(uint32_t id, std::vector<float> vector, std::string_view metadata,
                         std::optional<int64_t> ttl) {
  WriteLock lock(mu_);
  if (++adds_since_release_ == Options::HEAP_RELEASE_INTERVAL) {
    adds_since_release_ = 0;
    release_free_heap();
  }
  // 1. Dimension (and the candidate index built for it).
  if (dimension_ == 0) {
    lsh_ = std::make_unique<LSH>(vector.size());
    dimension_ = vector.size();
  } else if (vector.size() != dimension_) {
    return Status::Invalid("Dimension mismatch: expected " + std::to_string(dimension_) + ", got " +
                           std::to_string(vector.size()));
  }
  // 2. Id counter, and the document's row.
  next_id_ = std::max(next_id_, uint64_t{id} + 1);
  const uint32_t row = ids_.assign(id);
  // 3. Candidate index; 4. vector or code.
  if (Status s = lsh_->insert(vector, row); !s.ok()) return s;
  const auto id_of = [this](uint32_t r) NO_THREAD_SAFETY_ANALYSIS { return ids_.id_of(r); };
  if (Status s = storage_.store(row, vector, id_of); !s.ok()) return s;
  // 5. Metadata record. The previous record of a re-added id is read first:
  // its filter entries are replaced below by those of the new text.
  const bool re_added = metadata_store_.location(row).has_value();
  std::optional<std::string> previous;
  if (re_added) previous = metadata_store_.get(row);
  if (Status s = metadata_store_.append(row, metadata); !s.ok()) return s;
  if (re_added) forget_filter_entries(row, previous);
  // 6. All-documents set; 7. metadata indexing.
  filter_engine_.add_document(row);
  Result<json::Value> parsed = json::parse(metadata);
  if (!parsed.ok()) return parsed.status();
  if (parsed->is_object()) filter_engine_.index_object(parsed->as_object(), "", row);
  // 8. Expiry, saturating at both ends of the clock.
  if (ttl) {
    std::optional<uint64_t> now = now_seconds();
    if (!now) return clock_fault();
    *expiries_.try_emplace(row).first = saturating_add(*now, *ttl);
  }
  return Status::OK();
}

// Un-indexes exactly what the previous text of `row` indexed; when that text
// is gone or does not parse, takes the row out of every filter structure
// (add() puts it back into the set of all documents right after).
void OstrelDBImpl::forget_filter_entries(uint32_t row, const std::optional<std::string>& previous) {
  if (previous) {
    Result<json::Value> parsed = json::parse(*previous);
    if (parsed.ok()) {
      if (parsed->is_object()) filter_engine_.unindex_object(parsed->as_object(), "", row);
      return;
    }
  }
  filter_engine_.remove_document(row);
}

std::vector<uint32_t> OstrelDBImpl::expired_rows(uint64_t now) const {
  std::vector<uint32_t> expired;
  expiries_.for_each([&](uint32_t row, uint64_t at) {
    if (at < now) expired.push_back(row);
  });
  return expired;
}

template <typename Read>
auto OstrelDBImpl::with_state_current(uint64_t now, bool merge_numbers, Read&& read) {
  {
    ReadLock lock(mu_);
    const bool merge_due = merge_numbers && filter_engine_.has_pending_numbers();
    if (!merge_due && expired_rows(now).empty()) return read();
  }
  WriteLock lock(mu_);
  purge_expired(now);
  if (merge_numbers) filter_engine_.flush_pending_numbers();
  return read();
}

void OstrelDBImpl::purge_expired(uint64_t now) {
  const std::vector<uint32_t> expired = expired_rows(now);
  if (expired.empty()) return;
  for (uint32_t row : expired) expiries_.erase(row);
  remove_rows(Roaring(expired.size(), expired.data()));
}

// Looks under the shared lock first: without expired documents the purge
// takes no exclusive lock.
Status OstrelDBImpl::clean_expired() {
  std::optional<uint64_t> now = now_seconds();
  if (!now) return clock_fault();
  return with_state_current(*now, false, [] { return Status::OK(); });
}

void OstrelDBImpl::remove_rows(const Roaring& rows) {
  deleted_ |= rows;
  lsh_->remove_all(rows);
  filter_engine_.remove_all(rows);
}

Result<uint64_t> OstrelDBImpl::delete_matching(std::string_view filter_json) {
  WriteLock lock(mu_);
  Result<ClauseResult> matched = filter_engine_.apply_filter(filter_json);
  if (!matched.ok()) return matched.status();
  if (!matched->has_value()) return uint64_t{0};
  const Roaring& rows = **matched;
  const uint64_t n = rows.cardinality();
  remove_rows(rows);
  return n;
}

Result<uint64_t> OstrelDBImpl::count() {
  std::optional<uint64_t> now = now_seconds();
  if (!now) return clock_fault();
  return with_state_current(*now, false, [&]() NO_THREAD_SAFETY_ANALYSIS -> Result<uint64_t> {
    return next_id_ - deleted_.cardinality();
  });
}

Result<std::vector<ResultTriple>> OstrelDBImpl::search(std::span<const float> query, uint64_t k,
                                                       std::optional<std::string_view> filter_json,
                                                       bool include_metadata) {
  std::optional<uint64_t> now = now_seconds();
  if (!now) return clock_fault();
  return with_state_current(*now, filter_json.has_value(), [&]() NO_THREAD_SAFETY_ANALYSIS {
    return search_current(query, k, filter_json, include_metadata);
  });
}

Result<std::vector<ResultTriple>> OstrelDBImpl::search_current(
    std::span<const float> query, uint64_t k, std::optional<std::string_view> filter_json,
    bool include_metadata) const {
  std::optional<Roaring> filter;
  if (filter_json) {
    Result<ClauseResult> evaluated = filter_engine_.evaluate(*filter_json);
    if (!evaluated.ok()) return evaluated.status();
    filter = evaluated->has_value() ? std::move(**evaluated) : Roaring();
  }
  if (k == 0) return std::vector<ResultTriple>{};
  search::Candidates candidates = choose_candidates(query, k, filter);
  std::vector<ScoredPair> kept =
      search::best(storage_, query, candidates, k, ids_, plan_ ? &*plan_ : nullptr);
  return build_row_results(kept, include_metadata);
}

search::Candidates OstrelDBImpl::choose_candidates(std::span<const float> query, uint64_t k,
                                                   const std::optional<Roaring>& filter) const {
  std::vector<uint32_t> proposed = lsh_->query_candidates(query, search::candidate_limit(k),
                                                          search::replaced_below(k, next_id_));
  const Roaring& stored = storage_.stored_rows();
  const search::Eligible eligible{filter ? &*filter : nullptr, deleted_, stored, next_id_};
  return search::choose(std::move(proposed), k, eligible);
}

std::vector<ResultTriple> OstrelDBImpl::build_row_results(const std::vector<ScoredPair>& scored,
                                                          bool include_metadata) const {
  std::vector<ResultTriple> out;
  out.reserve(scored.size());
  for (const ScoredPair& p : scored) {
    const uint32_t id = ids_.id_of(p.id);
    if (!include_metadata) {
      out.push_back({id, p.score, std::string()});
    } else if (std::optional<std::string> text = metadata_store_.get(p.id)) {
      out.push_back({id, p.score, std::move(*text)});
    }
  }
  return out;
}

std::vector<ResultTriple> OstrelDBImpl::build_results(const std::vector<ScoredPair>& scored,
                                                      bool include_metadata) const {
  ReadLock lock(mu_);
  std::vector<ResultTriple> out;
  out.reserve(scored.size());
  for (const ScoredPair& p : scored) {
    if (!include_metadata) {
      out.push_back({p.id, p.score, std::string()});
      continue;
    }
    const std::optional<uint32_t> row = ids_.row_of(p.id);
    if (!row) continue;
    if (std::optional<std::string> text = metadata_store_.get(*row)) {
      out.push_back({p.id, p.score, std::move(*text)});
    }
  }
  return out;
}

// ---- OstrelDB: the public face; turns allocation failures into statuses.

namespace {

template <typename F>
auto catch_as_status(F&& f) -> decltype(f()) {
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

Result<std::unique_ptr<OstrelDB>> OstrelDB::open(std::string path,
                                                 std::optional<ScoringPlan> plan) {
  return catch_as_status([&]() -> Result<std::unique_ptr<OstrelDB>> {
    if (path.find('\0') != std::string::npos) {
      return Status::Invalid("file name contained an unexpected NUL byte");
    }
    if (Status s = create_dir_all(path); !s.ok()) return s;
    return std::unique_ptr<OstrelDB>(
        new OstrelDB(std::make_unique<OstrelDBImpl>(std::move(path), plan)));
  });
}

Status OstrelDB::add(uint32_t internal_id, std::vector<float> vector,
                     std::string_view metadata_json, std::optional<int64_t> ttl) {
  return catch_as_status(
      [&] { return impl_->add(internal_id, std::move(vector), metadata_json, ttl); });
}

Result<std::vector<ResultTriple>> OstrelDB::search(std::span<const float> query, uint64_t k,
                                                   std::optional<std::string_view> filter_json,
                                                   bool include_metadata) {
  return catch_as_status([&] { return impl_->search(query, k, filter_json, include_metadata); });
}

Result<std::vector<ResultTriple>> OstrelDB::build_results(std::vector<ScoredPair> scored,
                                                          bool include_metadata) const {
  return catch_as_status([&]() -> Result<std::vector<ResultTriple>> {
    return impl_->build_results(scored, include_metadata);
  });
}

Result<uint64_t> OstrelDB::delete_matching(std::string_view filter_json) {
  return catch_as_status([&] { return impl_->delete_matching(filter_json); });
}

Result<uint64_t> OstrelDB::count() {
  return catch_as_status([&] { return impl_->count(); });
}

Status OstrelDB::clean_expired() {
  return catch_as_status([&] { return impl_->clean_expired(); });
}

}  // namespace ostrel
