// The engine's fixed parameters, in one place. None can be configured: they
// are part of what a database computes (when it quantizes, what a code
// holds, which documents a search scores), so every database uses the same.
#pragma once

#include <cstddef>

namespace ostrel {

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

}  // namespace ostrel
