// The engine's fixed parameters, in one place. None can be configured: they
// are part of what a database computes (when it quantizes, what a code
// holds, which documents a search scores), so every database uses the same.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

class ThreadPool;

struct Options {
  // Components the quantizer's sub-spaces are laid out over (64 sub-spaces of
  // 12; components beyond it belong to no sub-space), and the dimension of
  // the candidate index a database starts with.
  static constexpr size_t NOMINAL_DIMENSION = 768;
  // Stored vectors (distinct documents, deleted ones included) at which the
  // next add switches the storage to quantized codes.
  static constexpr size_t QUANTIZATION_THRESHOLD = 5000;
  // Numbers pending for one field at which indexing merges them into the
  // field's range index (otherwise the next filtered search does).
  static constexpr size_t PENDING_FLUSH_THRESHOLD = 5000;
  // Candidates above which a search scores on the worker pool.
  static constexpr size_t PARALLEL_SCORING_THRESHOLD = 1000;
  // Candidates from which quantized scoring first computes the query's
  // distance to every centroid (speed only: the scores are the same).
  static constexpr size_t TABLE_THRESHOLD = 64;
  // Adds after which the free pages of the process heap are handed back to
  // the system (speed and memory only). Components that grow replace their
  // arrays and leave freed blocks behind; this keeps them from staying
  // resident. About a millisecond per release at a few tens of MB of heap.
  static constexpr size_t HEAP_RELEASE_INTERVAL = 5000;
};

// How a search spreads the scoring of its candidates. Not a setting of the
// database: every plan gives the same results, bit for bit. By default it
// follows the machine (VectorStorage::plan_for); tests force plans, so that
// a 2-core machine makes the splits a 64-core one would.
struct ScoringPlan {
  uint64_t pieces = 1;         // contiguous pieces of the candidates, at least 1
  ThreadPool* pool = nullptr;  // runs the pieces; null: in order, on the calling thread
  // Off: the plain twin, every row scored by itself (no distance table, no
  // runs of rows read together, no row dropped below a floor).
  bool shortcuts = true;
};

}  // namespace ostrel
