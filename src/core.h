// OstrelDB: the database engine object and its operations.
//
// An OstrelDB owns every component of one database opened on a directory:
// the vector storage, the LSH candidate index, the metadata store (the file
// metadata.bin, the only persisted state), the filter engine, the expiry map,
// the deleted set and the id counter. Everything but metadata.bin lives in
// memory; opening a directory again starts empty.
//
// Failures are returned as Status (see status.h); nothing is rolled back:
// each operation says below which of its steps stay done.
//
// Scores: while the storage holds raw vectors (fewer than 5000 documents
// ever stored), the cosine similarity in [-1, 1]; once it is quantized,
// 1 - min(sqrt(d) / 4, 1) in [0, 1], d the summed squared distance from the
// query's slices to the document's centroids. Higher is better on both
// scales; they are not comparable with each other.
//
// Ids are any 32-bit values; results and counts speak of ids. count() is not
// the number of live documents: it is one more than the highest id ever
// added, minus the deleted and expired ids (gaps in the ids count as
// documents).
//
// Thread safety: any thread may call any operation. One reader-writer lock
// guards the whole database: add() and delete_matching() take it
// exclusively; search(), count() and build_results() share it, unless
// expired documents are due to be purged or (for a filtered search) pending
// numbers to be merged into the range index: then the whole call holds it
// exclusively, so that no add() comes between the purge or the merge and
// what the call reads. search() may score on a worker pool while it holds
// the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "status.h"
#include "types.h"

namespace ostrel {

class OstrelDBImpl;

class OstrelDB {
 public:
  // Creates `path` (and missing parents, mode 0777 less umask) and an empty
  // database on it. Fails with the OS error text ("... (os error N)") or
  // "file name contained an unexpected NUL byte". Searches score by `plan`
  // when one is given (tests force every split), else by the machine's.
  static Result<std::unique_ptr<OstrelDB>> open(std::string path,
                                                std::optional<ScoringPlan> plan = std::nullopt);

  ~OstrelDB();
  OstrelDB(const OstrelDB&) = delete;
  OstrelDB& operator=(const OstrelDB&) = delete;

  // Stores a document (replacing one under the same id). Steps, in order:
  // dimension check, id counter, candidate index, vector, metadata record,
  // set of all documents, metadata indexing, expiry. Failures, and what
  // stays done:
  //   "Dimension mismatch: expected {}, got {}": nothing;
  //   metadata file errors ("Metadata too long (max 4GB)", "File too large
  //   (max 4GB)", "... (os error N)", "failed to write whole buffer"): the id
  //   counter, candidate index and vector (part of the text may be in the file);
  //   the JSON parser's message: all but indexing and expiry (the text is in
  //   metadata.bin and readable by build_results);
  //   kNoMemory: the steps before the one that ran out of memory.
  Status add(uint32_t internal_id, std::vector<float> vector, std::string_view metadata_json,
             std::optional<int64_t> ttl);

  // The k best documents for `query`, optionally restricted by a filter,
  // best first (search.h has the rules). Purges expired documents first;
  // fails with the filter's parse error after that purge, changing nothing
  // else.
  Result<std::vector<ResultTriple>> search(std::span<const float> query, uint64_t k,
                                           std::optional<std::string_view> filter_json,
                                           bool include_metadata);

  // Attaches metadata to scored pairs (input order kept; pairs without a
  // readable record dropped when include_metadata). Fails only with kNoMemory.
  Result<std::vector<ResultTriple>> build_results(std::vector<ScoredPair> scored,
                                                  bool include_metadata) const;

  // Deletes every document the filter matches; returns how many it matched.
  // A filter that is not valid JSON fails before anything changes.
  Result<uint64_t> delete_matching(std::string_view filter_json);

  // Purges expired documents, then returns next_id minus the deleted ids.
  // Fails (kInternal) only when the clock reads before the epoch.
  Result<uint64_t> count();

  // Purges every document whose expiry time is before the current second.
  // Fails (kInternal) only when the clock reads before the epoch.
  Status clean_expired();

 private:
  explicit OstrelDB(std::unique_ptr<OstrelDBImpl> impl);
  std::unique_ptr<OstrelDBImpl> impl_;
};

}  // namespace ostrel
